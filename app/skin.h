// The console's skin: the window face tinted with the hue kept under the
// settings key SkinHue, so that consoles of different kits can be told apart
// at a glance. Only colours change; nothing depends on the skin.
#pragma once

#include <QColor>

class QWidget;

namespace app {

// The face colour of a hue in degrees (any integer, taken modulo 360): light
// and of low saturation, so black text stays easy to read on it.
QColor SkinFace(int hue);

// Tints the window's face and its buttons with the hue; fields keep their
// white base.
void ApplySkinHue(QWidget& window, int hue);

}  // namespace app
