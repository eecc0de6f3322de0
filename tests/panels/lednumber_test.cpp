#include "panels/lednumber.h"

#include <gtest/gtest.h>
#include <QLabel>
#include <QTest>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "guiapp.h"

using namespace panels;
using panels_test::EnsureGuiApplication;
using panels_test::Render;

namespace {

using Segments = std::set<int>;

// What a cell shows: the segments lit, and whether unlit ones are visible.
struct CellView {
    Segments Lit;
    Segments Unlit;
};

// A point well inside segment n, in units: the mean of its distinct corners.
QPointF SegmentCore(int n) {
    const TLedSegment& s = LedSegment(n);
    std::vector<QPoint> corners;
    for (const QPoint& p : s) {
        if (std::find(corners.begin(), corners.end(), p) == corners.end()) {
            corners.push_back(p);
        }
    }
    QPointF sum;
    for (const QPoint& p : corners) {
        sum += p;
    }
    return sum / static_cast<double>(corners.size());
}

CellView ReadCell(const QImage& image, const TLedNumber& led, int column, int row = 0) {
    const int unit = led.Size() - 1;
    const int x0 = led.Size() + column * kLedCellWidth * unit;
    const int y0 = row * kLedCellHeight * unit;
    CellView view;
    for (int n = 1; n <= kLedSegmentCount; ++n) {
        const QPointF core = SegmentCore(n) * unit;
        const QRgb pixel =
            image.pixel(x0 + static_cast<int>(core.x()), y0 + static_cast<int>(core.y()));
        if (pixel == led.OnColor().rgb()) {
            view.Lit.insert(n);
        } else if (pixel == led.OffColor().rgb()) {
            view.Unlit.insert(n);
        } else {
            EXPECT_EQ(pixel, led.BgColor().rgb()) << "segment " << n << " of cell " << column;
        }
    }
    return view;
}

// The lit segments of each character, as the display's character set gives them.
Segments Glyph(char c) {
    switch (c) {
        case '0':
            return {1, 2, 5, 6, 9, 10, 13, 14};
        case '1':
            return {4, 11};
        case '2':
            return {1, 6, 7, 8, 9, 14};
        case '3':
            return {1, 6, 7, 8, 13, 14};
        case '4':
            return {2, 6, 7, 8, 13};
        case '5':
            return {1, 2, 7, 8, 13, 14};
        case '6':
            return {1, 2, 7, 8, 9, 13, 14};
        case '7':
            return {1, 6, 13};
        case '8':
            return {1, 2, 6, 7, 8, 9, 13, 14};
        case '9':
            return {1, 2, 6, 7, 8, 13, 14};
        case '-':
            return {7, 8};
        case '.':
            return {15};
        case 'O':  // the overflow mark
            return {1, 2, 6, 9, 13, 14};
        case 'F':
            return {1, 2, 7, 9};
        case 'L':
            return {2, 9, 14};
        default:
            return {};
    }
}

Segments WithPoint(char c) {
    Segments s = Glyph(c);
    s.insert(15);
    return s;
}

// Every segment but the point is visible as lit or unlit.
Segments AllBut(const Segments& lit) {
    Segments rest;
    for (int n = 1; n < kLedPointSegment; ++n) {
        if (!lit.count(n)) {
            rest.insert(n);
        }
    }
    return rest;
}

class LedNumberTest : public ::testing::Test {
  protected:
    void SetUp() override { EnsureGuiApplication(); }
};

TEST_F(LedNumberTest, EveryDigitLightsExactlyItsSegments) {
    TLedNumber led;
    const QImage image = Render(led);
    const char* digits = "0123456789";
    for (int i = 0; i < 10; ++i) {
        const CellView cell = ReadCell(image, led, i);
        EXPECT_EQ(cell.Lit, Glyph(digits[i])) << "digit " << digits[i];
        EXPECT_EQ(cell.Unlit, AllBut(Glyph(digits[i]))) << "digit " << digits[i];
    }
}

TEST_F(LedNumberTest, ZeroCarriesTheSlashThatEightLacks) {
    TLedNumber led;
    led.SetColumns(2);
    led.SetCaption("08");
    const QImage image = Render(led);
    const Segments zero = ReadCell(image, led, 0).Lit;
    const Segments eight = ReadCell(image, led, 1).Lit;
    EXPECT_TRUE(zero.count(5) && zero.count(10));
    EXPECT_FALSE(zero.count(7) || zero.count(8));
    EXPECT_FALSE(eight.count(5) || eight.count(10));
    EXPECT_TRUE(eight.count(7) && eight.count(8));
}

struct CaptionCase {
    const char* Caption;
    std::vector<Segments> Cells;
};

class LedCaptionTest : public LedNumberTest, public ::testing::WithParamInterface<CaptionCase> {};

TEST_P(LedCaptionTest, FourCellsShowTheCaption) {
    for (int size : {2, 3}) {
        TLedNumber led;
        led.SetColumns(4);
        led.SetSize(size);
        led.SetCaption(GetParam().Caption);
        const QImage image = Render(led);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(ReadCell(image, led, i).Lit, GetParam().Cells[i])
                << "cell " << i << " at size " << size;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Captions, LedCaptionTest,
    ::testing::Values(CaptionCase{"12.35", {Glyph('1'), WithPoint('2'), Glyph('3'), Glyph('5')}},
                      CaptionCase{"-0.12", {Glyph('-'), WithPoint('0'), Glyph('1'), Glyph('2')}},
                      CaptionCase{".5", {{}, {}, {15}, Glyph('5')}},
                      CaptionCase{"1..2", {{}, WithPoint('1'), {15}, Glyph('2')}},
                      CaptionCase{"7.5", {{}, {}, WithPoint('7'), Glyph('5')}},
                      CaptionCase{"123.50", {Glyph('1'), Glyph('2'), WithPoint('3'), Glyph('5')}},
                      CaptionCase{"12345", {Glyph('1'), Glyph('2'), Glyph('3'), Glyph('4')}},
                      CaptionCase{"1234.", {Glyph('1'), Glyph('2'), Glyph('3'), WithPoint('4')}},
                      CaptionCase{"", {{}, {}, {}, {}}},
                      CaptionCase{"AbC", {{}, Glyph('A'), Glyph('b'), Glyph('C')}},
                      CaptionCase{"E-1x", {{}, Glyph('-'), Glyph('1'), {}}},
                      CaptionCase{"OFL", {{}, Glyph('O'), Glyph('F'), Glyph('L')}}),
    // Test names must not depend on the case's bytes, which hold pointers.
    [](const ::testing::TestParamInfo<CaptionCase>& info) {
        return "Caption" + std::to_string(info.index);
    });

TEST_F(LedNumberTest, UnlitSegmentsVanishWhenOffColourIsTheBackground) {
    TLedNumber led;
    led.SetColumns(4);
    led.SetCaption("1");
    led.SetOffColor(led.BgColor());
    const QImage image = Render(led);
    int lit = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            ASSERT_TRUE(pixel == led.BgColor().rgb() || pixel == led.OnColor().rgb());
            lit += pixel == led.OnColor().rgb();
        }
    }
    EXPECT_GT(lit, 0);
    EXPECT_EQ(ReadCell(image, led, 3).Lit, Glyph('1'));
}

TEST_F(LedNumberTest, NothingIsDrawnPastTheLastCell) {
    for (const char* caption : {"7.5", "1..234"}) {
        TLedNumber led;
        led.SetColumns(4);
        led.SetCaption(caption);
        const QImage image = Render(led);
        for (int y = 0; y < image.height(); ++y) {
            // The point of the last cell reaches into the margin; rows 17 and
            // 18 are its, and it is unlit here.
            EXPECT_EQ(image.pixel(51, y), led.BgColor().rgb()) << caption << " row " << y;
        }
    }
}

TEST_F(LedNumberTest, SizeRuleClampsAndBevels) {
    TLedNumber led;
    EXPECT_EQ(led.size(), QSize(124, 21));
    led.SetColumns(4);
    EXPECT_EQ(led.size(), QSize(52, 21));
    led.SetSize(3);
    EXPECT_EQ(led.size(), QSize(102, 42));
    led.SetSize(1);
    EXPECT_EQ(led.Size(), 2);
    led.SetSize(20);
    EXPECT_EQ(led.Size(), 10);
    led.SetColumns(0);
    EXPECT_EQ(led.Columns(), 1);
    led.SetRows(-3);
    EXPECT_EQ(led.Rows(), 1);

    led.SetColumns(4);
    led.SetSize(2);
    led.SetBevelKind(bkTile);
    EXPECT_EQ(led.size(), QSize(56, 25));
    led.SetSize(3);
    EXPECT_EQ(led.size(), QSize(108, 44));
    led.SetSize(4);  // only the two smallest scales differ
    EXPECT_EQ(led.size(), QSize(4 * 36 + 8, 63));
}

TEST_F(LedNumberTest, BevelFramesTheCells) {
    TLedNumber led;
    led.SetColumns(4);
    led.SetBevelKind(bkTile);
    led.SetCaption("8888");
    const QImage image = Render(led);
    const QRgb frame = image.pixel(0, 0);
    EXPECT_NE(frame, led.BgColor().rgb());
    EXPECT_EQ(image.pixel(2, 2), led.BgColor().rgb());
    // The cells start inside the two-pixel frame.
    EXPECT_EQ(image.pixel(2 + 2 + 6, 2 + 2), led.OnColor().rgb());
}

TEST_F(LedNumberTest, PaintingBringsTheDisplayBackToItsCells) {
    QWidget parent;
    auto* led = new TLedNumber(&parent);
    led->SetColumns(4);
    led->SetCaption("");
    led->setGeometry(0, 0, 54, 21);
    Render(*led);
    QCoreApplication::processEvents();
    EXPECT_EQ(led->size(), QSize(52, 21));
}

TEST_F(LedNumberTest, RowsWrapBreakAndCutAtTheLastCell) {
    TLedNumber led;
    led.SetColumns(2);
    led.SetRows(2);
    EXPECT_EQ(led.size(), QSize(28, 42));

    led.SetCaption("12\r3");
    QImage image = Render(led);
    EXPECT_EQ(ReadCell(image, led, 0, 1).Lit, Glyph('3'));
    EXPECT_EQ(ReadCell(image, led, 1, 1).Unlit, AllBut({}));

    led.SetCaption("1\r2");
    image = Render(led);
    EXPECT_EQ(ReadCell(image, led, 0, 0).Lit, Glyph('1'));
    EXPECT_EQ(ReadCell(image, led, 1, 0).Unlit, AllBut({}));  // the return blanks the rest
    EXPECT_EQ(ReadCell(image, led, 0, 1).Lit, Glyph('2'));

    led.SetCaption("123456");
    image = Render(led);
    EXPECT_EQ(ReadCell(image, led, 0, 1).Lit, Glyph('3'));
    EXPECT_EQ(ReadCell(image, led, 1, 1).Lit, Glyph('4'));

    led.SetCaption("9");
    image = Render(led);
    EXPECT_EQ(ReadCell(image, led, 0, 1).Unlit, AllBut({}));  // remaining rows unlit
}

TEST_F(LedNumberTest, HugeColumnCountsStayBounded) {
    TLedNumber led;
    led.SetColumns(std::numeric_limits<int>::max());
    led.SetRows(std::numeric_limits<int>::max());
    EXPECT_EQ(led.width(), QWIDGETSIZE_MAX);
    led.resize(60, 42);
    led.SetCaption("42");
    const QImage image = led.grab().toImage();  // must finish promptly
    EXPECT_EQ(image.size(), QSize(60, 42));
}

struct LabelCase {
    TLabelPosition Position;
    int Spacing;
    QPoint (*Expected)(QRect display, QSize label, int spacing);
};

TEST_F(LedNumberTest, LabelSitsBesideTheDisplay) {
    const LabelCase cases[] = {
        {lpAbove, 3,
         [](QRect d, QSize l, int s) { return QPoint(d.left(), d.top() - l.height() - s); }},
        {lpBelow, 5,
         [](QRect d, QSize, int s) { return QPoint(d.left(), d.top() + d.height() + s); }},
        {lpLeft, 4,
         [](QRect d, QSize l, int s) {
             return QPoint(d.left() - l.width() - s, d.top() + (d.height() - l.height()) / 2);
         }},
        {lpRight, 0,
         [](QRect d, QSize l, int s) {
             return QPoint(d.left() + d.width() + s, d.top() + (d.height() - l.height()) / 2);
         }},
    };
    QWidget parent;
    parent.resize(300, 200);
    auto* led = new TLedNumber(&parent);
    led->SetColumns(4);
    led->LEDLabel()->setText("Flow");
    led->move(100, 80);
    ASSERT_EQ(led->LEDLabel()->parentWidget(), &parent);
    for (const LabelCase& c : cases) {
        led->SetLabelPosition(c.Position);
        led->SetLabelSpacing(c.Spacing);
        const QLabel* label = led->LEDLabel();
        EXPECT_EQ(label->pos(), c.Expected(led->geometry(), label->size(), c.Spacing))
            << "position " << c.Position;
    }
    parent.show();
    led->move(10, 50);  // the label follows a move
    EXPECT_EQ(led->LEDLabel()->pos(), QPoint(10 + 52, 50 + (21 - led->LEDLabel()->height()) / 2));
}

TEST_F(LedNumberTest, LabelFollowsVisibilityAndLifetime) {
    QWidget parent;
    auto* led = new TLedNumber(&parent);
    led->LEDLabel()->setText("T");
    parent.show();
    QPointer<QLabel> label = led->LEDLabel();
    EXPECT_TRUE(label->isVisible());
    led->hide();
    EXPECT_FALSE(label->isVisible());
    led->show();
    EXPECT_TRUE(label->isVisible());

    delete label.data();  // the display forgets a label destroyed first
    EXPECT_EQ(led->LEDLabel(), nullptr);
    led->move(5, 5);

    auto* second = new TLedNumber(&parent);
    QPointer<QLabel> secondLabel = second->LEDLabel();
    delete second;
    EXPECT_TRUE(secondLabel.isNull());
}

TEST_F(LedNumberTest, LabelMovesWithTheDisplayToANewParent) {
    QWidget first, second;
    auto* led = new TLedNumber(&first);
    led->setParent(&second);
    EXPECT_EQ(led->LEDLabel()->parentWidget(), &second);
}

TEST_F(LedNumberTest, ClickAndDoubleClickRaiseTheirEvents) {
    TLedNumber led;
    int clicks = 0, doubles = 0;
    QObject* sender = nullptr;
    led.OnClick = [&](QObject* s) {
        ++clicks;
        sender = s;
    };
    led.OnDblClick = [&](QObject*) { ++doubles; };
    led.show();
    QTest::mouseClick(&led, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(sender, &led);
    QTest::mouseDClick(&led, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(doubles, 1);
}

}  // namespace
