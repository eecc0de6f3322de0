// Draws the console's instrument pictures, spin-button arrows and the
// program icon of the desktop entry.
//
// The pictures are committed as PNG files beside the .qrc; this program is
// how they were made, and is built only with -DVAPCAL_PICTURES=ON:
//   makepictures <output folder>
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <QString>

#include <cstdio>
#include <tuple>

namespace {

const QColor kSilver(192, 192, 192);

QImage NewImage(int width, int height, const QColor& background) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(background);
    return image;
}

// An EL-FLOW mass-flow controller seen from the front: the red electronics
// housing standing on the grey valve block, with the inlet and outlet
// fittings left and right and the connector on top.
QImage DrawElflow() {
    QImage image = NewImage(42, 36, kSilver);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);

    const QColor red(200, 16, 24), darkRed(120, 8, 12), lightRed(240, 90, 90);
    const QColor grey(128, 128, 128), darkGrey(72, 72, 72), lightGrey(224, 224, 224);

    // Connector on the housing's roof.
    p.fillRect(17, 1, 8, 3, darkGrey);
    p.fillRect(18, 0, 6, 1, grey);

    // Housing.
    p.fillRect(9, 4, 24, 21, red);
    p.fillRect(9, 4, 24, 1, lightRed);
    p.fillRect(9, 4, 1, 21, lightRed);
    p.fillRect(32, 4, 1, 21, darkRed);
    p.fillRect(9, 24, 24, 1, darkRed);
    // Label plate with the status lamps.
    p.fillRect(13, 8, 16, 7, QColor(245, 245, 245));
    p.fillRect(15, 10, 2, 2, QColor(0, 200, 0));
    p.fillRect(19, 10, 2, 2, QColor(255, 160, 0));
    p.fillRect(23, 10, 4, 1, darkGrey);
    p.fillRect(23, 12, 4, 1, darkGrey);

    // Valve block.
    p.fillRect(5, 25, 32, 8, grey);
    p.fillRect(5, 25, 32, 1, lightGrey);
    p.fillRect(5, 32, 32, 1, darkGrey);
    p.fillRect(36, 25, 1, 8, darkGrey);
    // Solenoid cap on the block.
    p.fillRect(26, 21, 6, 4, darkGrey);

    // Fittings.
    for (int x : {0, 37}) {
        p.fillRect(x, 27, 5, 4, lightGrey);
        p.fillRect(x, 30, 5, 1, darkGrey);
    }
    // Mounting screws.
    p.fillRect(8, 28, 2, 2, darkGrey);
    p.fillRect(32, 28, 2, 2, darkGrey);
    return image;
}

// The CAL 3300's front strip: the model lettering over the select key and the
// up and down keys.
QImage DrawCal3300() {
    const QColor teal(0, 128, 128), darkTeal(0, 80, 80), white(255, 255, 255);
    QImage image = NewImage(52, 18, teal);
    QPainter p(&image);
    p.setPen(darkTeal);
    p.drawRect(0, 0, 51, 17);

    QFont font("DejaVu Sans");
    font.setPixelSize(7);
    font.setBold(true);
    p.setFont(font);
    p.setPen(white);
    p.drawText(QRect(0, 0, 52, 8), Qt::AlignCenter, "CAL 3300");

    p.setRenderHint(QPainter::Antialiasing, true);
    const int centres[] = {12, 26, 40};
    for (int i = 0; i < 3; ++i) {
        const int cx = centres[i];
        p.setPen(QPen(darkTeal, 1));
        p.setBrush(QColor(230, 230, 230));
        p.drawEllipse(QPointF(cx + 0.5, 12.5), 4.5, 4.5);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 40, 40));
        if (i == 0) {
            p.drawEllipse(QPointF(cx + 0.5, 12.5), 1.5, 1.5);
        } else if (i == 1) {
            p.drawPolygon(QPolygonF({{cx - 2.0, 14.5}, {cx + 3.0, 14.5}, {cx + 0.5, 10.0}}));
        } else {
            p.drawPolygon(QPolygonF({{cx - 2.0, 10.5}, {cx + 3.0, 10.5}, {cx + 0.5, 15.0}}));
        }
    }
    return image;
}

// The 9 x 6 arrows of the spin field's buttons: black on transparent.
QImage DrawArrow(bool up) {
    QImage image = NewImage(9, 6, Qt::transparent);
    for (int row = 0; row < 4; ++row) {
        const int y = up ? 4 - row : 1 + row;
        const int half = 3 - row;
        for (int x = 4 - half; x <= 4 + half; ++x) {
            image.setPixelColor(x, y, Qt::black);
        }
    }
    return image;
}

// The program's icon for the desktop's menus: the kit's saturator, a glass
// reservoir over a pool of mercury whose vapour rises, and the diluted gas
// leaving it on the right. Drawn on a 256-unit square and scaled, so each
// size is drawn sharp rather than shrunk.
QImage DrawIcon(int size) {
    QImage image = NewImage(size, size, Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.scale(size / 256.0, size / 256.0);

    // Tile.
    QLinearGradient tile(0, 0, 0, 256);
    tile.setColorAt(0, QColor(0, 150, 150));
    tile.setColorAt(1, QColor(0, 84, 92));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(8, 8, 240, 240), 40, 40);

    // Outlet tube from the reservoir's neck to the right edge, with the
    // arrow of the delivered gas.
    const QColor glass(225, 245, 245), glassEdge(255, 255, 255);
    p.setBrush(glass);
    p.drawRect(QRectF(104, 58, 108, 20));
    p.setBrush(QColor(255, 200, 60));
    p.drawPolygon(QPolygonF({{196, 40}, {236, 68}, {196, 96}}));

    // Reservoir: a neck and a round-bottomed body.
    QPainterPath flask;
    flask.moveTo(88, 40);
    flask.lineTo(120, 40);
    flask.lineTo(120, 100);
    flask.cubicTo(176, 112, 196, 150, 196, 178);
    flask.cubicTo(196, 214, 160, 228, 104, 228);
    flask.cubicTo(48, 228, 12, 214, 12, 178);
    flask.cubicTo(12, 150, 32, 112, 88, 100);
    flask.closeSubpath();
    p.setPen(QPen(glassEdge, 8));
    p.setBrush(QColor(190, 230, 232, 150));
    p.drawPath(flask);

    // The mercury pool at the bottom.
    QLinearGradient mercury(0, 178, 0, 222);
    mercury.setColorAt(0, QColor(245, 245, 250));
    mercury.setColorAt(1, QColor(120, 124, 135));
    p.setPen(Qt::NoPen);
    p.setBrush(mercury);
    QPainterPath pool;
    pool.moveTo(24, 184);
    pool.cubicTo(60, 176, 148, 176, 184, 184);
    pool.cubicTo(180, 210, 150, 220, 104, 220);
    pool.cubicTo(58, 220, 28, 210, 24, 184);
    p.drawPath(pool);

    // Vapour rising from the pool.
    p.setBrush(QColor(255, 255, 255, 210));
    for (const auto& [x, y, r] : {std::tuple{70.0, 160.0, 9.0},
                                  {112.0, 146.0, 11.0},
                                  {150.0, 162.0, 8.0},
                                  {92.0, 124.0, 7.0},
                                  {130.0, 116.0, 6.0}})
        p.drawEllipse(QPointF(x, y), r, r);
    return image;
}

bool Save(const QImage& image, const QString& folder, const char* name) {
    const QString path = folder + "/" + name + ".png";
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "makepictures: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: makepictures <output folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const bool ok =
        Save(DrawElflow(), folder, "ELFLOW") && Save(DrawCal3300(), folder, "CAL3300") &&
        Save(DrawArrow(true), folder, "SpinUp") && Save(DrawArrow(false), folder, "SpinDown") &&
        Save(DrawIcon(48), folder, "vapcal-48") && Save(DrawIcon(256), folder, "vapcal-256");
    return ok ? 0 : 1;
}
