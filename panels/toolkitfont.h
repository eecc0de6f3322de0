// Fonts named the way the console's windows were designed: a family and a
// signed height in pixels. A negative height is the character height without
// internal leading (-11 for the 8-point window font), a positive one the whole
// cell height. Every family maps to the nearest sans font at hand (DejaVu Sans),
// because the designed families ("MS Sans Serif", "Small Fonts") are not
// available on this platform.
#pragma once

#include <QFont>
#include <QString>

namespace panels {

// The sans family every designed font maps to.
QString SansFamily();

// A font for a designed family and signed height.
QFont ToolkitFont(const QString& family, int height, bool bold = false);

// The signed height of a font: minus its pixel size, or for a font sized in
// points minus the pixels those points take on the primary screen.
int ToolkitHeight(const QFont& font);

// The same font at another signed height.
QFont WithToolkitHeight(const QFont& font, int height);

}  // namespace panels
