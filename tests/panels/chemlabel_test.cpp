#include "panels/chemlabel.h"

#include <gtest/gtest.h>
#include <QFontMetrics>

#include <memory>
#include <vector>

#include "guiapp.h"
#include "panels/toolkitfont.h"

using namespace panels;
using panels_test::EnsureGuiApplication;
using panels_test::Render;

namespace {

// The ink of one token: the dark pixels between two columns.
struct Ink {
    int Top = 1 << 20;
    int Bottom = -1;
    int Left = 1 << 20;
    int Right = -1;
    int Height() const { return Bottom - Top + 1; }
    int Width() const { return Right - Left + 1; }
    bool Empty() const { return Bottom < 0; }
};

Ink InkBetween(const QImage& image, int from, int to) {
    Ink ink;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = std::max(0, from); x < std::min(to, image.width()); ++x) {
            if (qGray(image.pixel(x, y)) < 128) {
                ink.Top = std::min(ink.Top, y);
                ink.Bottom = std::max(ink.Bottom, y);
                ink.Left = std::min(ink.Left, x);
                ink.Right = std::max(ink.Right, x);
            }
        }
    }
    return ink;
}

class ChemLabelTest : public ::testing::Test {
  protected:
    void SetUp() override { EnsureGuiApplication(); }

    // The unit caption of the saturator pressure difference, as on the window.
    std::unique_ptr<TChemLabel> MakeLabel(const QString& caption, QSize size = {46, 18}) {
        auto label = std::make_unique<TChemLabel>(caption);
        label->resize(size);
        label->setFont(ToolkitFont("MS Sans Serif", -11));
        QPalette palette = label->palette();
        palette.setColor(QPalette::Window, Qt::white);
        palette.setColor(QPalette::WindowText, Qt::black);
        label->setPalette(palette);
        label->setAutoFillBackground(true);
        return label;
    }

    // How far a token moves the drawing position, in a font of that height.
    static int Advance(const QString& text, int height = -11) {
        return QFontMetrics(ToolkitFont("MS Sans Serif", height)).horizontalAdvance(text);
    }
};

TEST_F(ChemLabelTest, SubscriptArithmeticTruncatesTowardZero) {
    EXPECT_EQ(ChemSubscript(-11).Height, -8);
    EXPECT_EQ(ChemSubscript(-11).Drop, 4);
    EXPECT_EQ(ChemSubscript(-13).Height, -10);  // not -11, as rounding down would give
    EXPECT_EQ(ChemSubscript(-13).Drop, 5);
    EXPECT_EQ(ChemSubscript(14).Height, 11);
    EXPECT_EQ(ChemSubscript(14).Drop, 5);
}

TEST_F(ChemLabelTest, WaterColumnUnitHasASmallerLowerTwo) {
    auto label = MakeLabel("(in. H2O)");
    const QImage image = Render(*label);
    const int hStart = Advance("(") + Advance("in") + Advance(".") + Advance(" ");
    const int twoStart = hStart + Advance("H");
    const int twoEnd = twoStart + Advance("2", -8);
    const Ink h = InkBetween(image, hStart, twoStart);
    const Ink two = InkBetween(image, twoStart, twoEnd);
    const Ink o = InkBetween(image, twoEnd, twoEnd + Advance("O"));
    ASSERT_FALSE(h.Empty() || two.Empty() || o.Empty());
    EXPECT_LT(two.Height(), h.Height());
    EXPECT_GT(two.Bottom, h.Bottom);
    EXPECT_GT(two.Top, h.Top);
    EXPECT_EQ(o.Bottom, h.Bottom);  // "O)" back on the line
}

struct Token {
    const char* Text;
    int Height;
};

struct DigitCase {
    const char* Caption;
    std::vector<Token> Before;  // the tokens drawn before the digit
    bool Subscript;
};

TEST_F(ChemLabelTest, DigitsAreSubscriptsOnlyAfterAnElementOrBracket) {
    const DigitCase cases[] = {
        {"x 2", {{"x", -11}, {" ", -11}}, false},  // the space ends subscript mode
        {"x2", {{"x", -11}}, true},
        {"CO2 (g)", {{"CO", -11}}, true},
        {"(SO4)3", {{"(", -11}, {"SO", -11}, {"4", -8}, {")", -11}}, true},
        {"2x", {}, false},
        {"H,2", {{"H", -11}, {",", -11}}, false},
    };
    for (const DigitCase& c : cases) {
        int start = 0;
        qsizetype digitAt = 0;
        for (const Token& t : c.Before) {
            start += Advance(t.Text, t.Height);
            digitAt += QString(t.Text).size();
        }
        const QString digit = QString(c.Caption).mid(digitAt, 1);
        const int width = Advance(digit, c.Subscript ? -8 : -11);
        const Ink ink = InkBetween(Render(*MakeLabel(c.Caption, {80, 18})), start, start + width);
        const Ink normal = InkBetween(Render(*MakeLabel(digit, {80, 18})), 0, 80);
        ASSERT_FALSE(ink.Empty()) << c.Caption;
        if (c.Subscript) {
            EXPECT_LT(ink.Height(), normal.Height()) << c.Caption;
            EXPECT_GT(ink.Bottom, normal.Bottom) << c.Caption;
        } else {
            EXPECT_EQ(ink.Height(), normal.Height()) << c.Caption;
            EXPECT_EQ(ink.Bottom, normal.Bottom) << c.Caption;
        }
    }
}

TEST_F(ChemLabelTest, ChargeSignIsSmallAndRaised) {
    auto ion = MakeLabel("Hg2+", {80, 18});
    const int plusStart = Advance("Hg") + Advance("2", -8);
    const Ink charge = InkBetween(Render(*ion), plusStart, plusStart + Advance("+", -8));
    auto plain = MakeLabel("+", {80, 18});  // a leading sign is no charge
    const Ink sign = InkBetween(Render(*plain), 0, 80);
    ASSERT_FALSE(charge.Empty() || sign.Empty());
    EXPECT_LT(charge.Width(), sign.Width());
    EXPECT_LT(charge.Top + charge.Bottom, sign.Top + sign.Bottom);
}

TEST_F(ChemLabelTest, DisabledLabelDrawsInTheGreyedColour) {
    // A reddish greyed colour tells it apart from the black of the enabled label.
    auto label = MakeLabel("H2O");
    QPalette palette = label->palette();
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(128, 0, 0));
    label->setPalette(palette);
    label->setEnabled(false);
    const QImage image = Render(*label);
    bool sawGreyed = false;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            sawGreyed |= qRed(pixel) - qGreen(pixel) > 60;
        }
    }
    EXPECT_TRUE(sawGreyed);
}

TEST_F(ChemLabelTest, AlignmentDoesNotMoveTheFormula) {
    auto left = MakeLabel("H2O");
    auto right = MakeLabel("H2O");
    right->setAlignment(Qt::AlignRight | Qt::AlignBottom);
    EXPECT_EQ(Render(*left), Render(*right));
}

}  // namespace
