#include "panels/bitmaps.h"

#include <mutex>

// The resources live in a static library; naming its initialiser here makes
// the linker keep them in every program that loads a bitmap. The initialiser
// is declared in the global namespace, so this function lives there too.
static void RegisterPictures() {
    Q_INIT_RESOURCE(pictures);
}

namespace panels {

QPixmap LoadBitmap(const QString& name) {
    static std::once_flag registered;
    std::call_once(registered, RegisterPictures);
    return QPixmap(QStringLiteral(":/") + name + QStringLiteral(".png"));
}

}  // namespace panels
