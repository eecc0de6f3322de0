#include "panels/bitmaps.h"

#include <gtest/gtest.h>
#include <QFontInfo>
#include <QFontMetricsF>

#include <vector>

#include "guiapp.h"
#include "panels/toolkitfont.h"

using namespace panels;
using panels_test::EnsureGuiApplication;

namespace {

TEST(Bitmaps, EveryNamedBitmapLoadsAtItsSize) {
    EnsureGuiApplication();
    const struct {
        const char* Name;
        QSize Size;
    } cases[] = {
        {"ELFLOW", {42, 36}},
        {"CAL3300", {52, 18}},
        {"SpinUp", {9, 6}},
        {"SpinDown", {9, 6}},
    };
    for (const auto& c : cases) {
        const QPixmap pixmap = LoadBitmap(c.Name);
        ASSERT_FALSE(pixmap.isNull()) << c.Name;
        EXPECT_EQ(pixmap.size(), c.Size) << c.Name;
    }
    EXPECT_TRUE(LoadBitmap("NoSuchPicture").isNull());
}

TEST(Bitmaps, MassFlowPictureIsARedControllerOnSilver) {
    EnsureGuiApplication();
    const QImage image = LoadBitmap("ELFLOW").toImage();
    EXPECT_EQ(image.pixelColor(0, 0), QColor(192, 192, 192));
    const QColor body = image.pixelColor(21, 20);
    EXPECT_GT(body.red(), 150);
    EXPECT_LT(body.green(), 60);
}

// Counts the dark pixels of each row of an arrow.
std::vector<int> RowWidths(const QImage& image) {
    std::vector<int> widths;
    for (int y = 0; y < image.height(); ++y) {
        int n = 0;
        for (int x = 0; x < image.width(); ++x) {
            n += qAlpha(image.pixel(x, y)) > 128;
        }
        widths.push_back(n);
    }
    return widths;
}

TEST(Bitmaps, ArrowsPointTheWayTheyStep) {
    EnsureGuiApplication();
    const std::vector<int> up = RowWidths(LoadBitmap("SpinUp").toImage());
    const std::vector<int> down = RowWidths(LoadBitmap("SpinDown").toImage());
    EXPECT_EQ(up, (std::vector<int>{0, 1, 3, 5, 7, 0}));
    EXPECT_EQ(down, (std::vector<int>{0, 7, 5, 3, 1, 0}));
}

TEST(ToolkitFonts, DesignedFamiliesMapToTheSansAtTheirPixelHeight) {
    EnsureGuiApplication();
    for (const char* family : {"MS Sans Serif", "Small Fonts"}) {
        const QFont font = ToolkitFont(family, -9, true);
        EXPECT_EQ(font.pixelSize(), 9);
        EXPECT_TRUE(font.bold());
        EXPECT_TRUE(QFontInfo(font).family().startsWith("DejaVu Sans")) << family;
        EXPECT_EQ(ToolkitHeight(font), -9);
    }
    // A positive height is the whole character cell.
    const QFontMetricsF cell(ToolkitFont("MS Sans Serif", 14));
    EXPECT_NEAR(cell.ascent() + cell.descent(), 14.0, 1.0);

    QFont points(SansFamily());
    points.setPointSize(8);
    EXPECT_EQ(ToolkitHeight(points), -11);  // 8 points at 96 pixels per inch
}

}  // namespace
