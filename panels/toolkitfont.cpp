#include "panels/toolkitfont.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace panels {

namespace {

// Typographic pixels per point when no screen says otherwise.
constexpr double kDefaultDpi = 96.0;

double ScreenDpi() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        return screen->logicalDotsPerInchY();
    }
    return kDefaultDpi;
}

// A positive height is the cell (ascent plus descent); the pixel size that
// gives that cell follows from the font's own proportions.
int PixelSizeForCell(const QFont& font, int cellHeight) {
    QFont probe(font);
    probe.setPixelSize(100);
    const QFontMetricsF metrics(probe);
    const double cell = metrics.ascent() + metrics.descent();
    if (cell <= 0) {
        return cellHeight;
    }
    return std::max(1, static_cast<int>(std::lround(cellHeight * 100.0 / cell)));
}

}  // namespace

QString SansFamily() {
    return QStringLiteral("DejaVu Sans");
}

QFont ToolkitFont(const QString& family, int height, bool bold) {
    Q_UNUSED(family);
    QFont font(SansFamily());
    font.setStyleHint(QFont::SansSerif);
    font.setBold(bold);
    return WithToolkitHeight(font, height);
}

int ToolkitHeight(const QFont& font) {
    if (font.pixelSize() > 0) {
        return -font.pixelSize();
    }
    return -static_cast<int>(std::lround(font.pointSizeF() * ScreenDpi() / 72.0));
}

QFont WithToolkitHeight(const QFont& font, int height) {
    QFont sized(font);
    if (height < 0) {
        sized.setPixelSize(-height);
    } else if (height > 0) {
        sized.setPixelSize(PixelSizeForCell(font, height));
    }
    return sized;
}

}  // namespace panels
