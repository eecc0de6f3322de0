// Draws the console's instrument pictures and spin-button arrows.
//
// The pictures are committed as PNG files beside the .qrc; this program is
// how they were made, and is built only with -DVAPCAL_PICTURES=ON:
//   makepictures <output folder>
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <QString>

#include <cstdio>

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
        Save(DrawArrow(true), folder, "SpinUp") && Save(DrawArrow(false), folder, "SpinDown");
    return ok ? 0 : 1;
}
