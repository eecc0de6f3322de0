#include "app/skin.h"

#include <QPalette>
#include <QWidget>

namespace app {

namespace {
constexpr int kFaceSaturation = 28;
constexpr int kFaceValue = 236;
constexpr int kButtonLighter = 104;  // percent
}  // namespace

QColor SkinFace(int hue) {
    return QColor::fromHsv(((hue % 360) + 360) % 360, kFaceSaturation, kFaceValue);
}

void ApplySkinHue(QWidget& window, int hue) {
    const QColor face = SkinFace(hue);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, face);
    palette.setColor(QPalette::Button, face.lighter(kButtonLighter));
    window.setPalette(palette);
}

}  // namespace app
