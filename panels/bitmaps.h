// The console's bitmaps by name: the instrument pictures ("ELFLOW",
// "CAL3300") and the spin-button arrows ("SpinUp", "SpinDown"), compiled in
// from resources/.
#pragma once

#include <QPixmap>
#include <QString>

namespace panels {

// The bitmap of that name, or a null pixmap when there is none. Needs a
// running QGuiApplication, as every pixmap does.
QPixmap LoadBitmap(const QString& name);

}  // namespace panels
