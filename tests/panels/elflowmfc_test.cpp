// The mass-flow controller panel: readings on the LED display, the set-point
// rules of the field, the collapsed and expanded forms, and the button lock.
#include "panels/elflowmfc.h"

#include <gtest/gtest.h>
#include <QLabel>  // the LED display hands out its label through a QPointer
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <ctime>
#include <memory>
#include <stdexcept>

#include "guiapp.h"
#include "panels/lednumber.h"
#include "panels/spinedit.h"
#include "platform/numtext.h"

using namespace panels;
using panels_test::EnsureGuiApplication;

namespace {

// A window with a panel as the main window has it and a second field to
// take the focus.
class ELflowMfcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureGuiApplication();
        platform::FormatSettings() = {'.', ','};
        FWindow = std::make_unique<QWidget>();
        FWindow->resize(120, 140);
        FPanel = new TELflowMfc(FWindow.get());
        FPanel->move(10, 10);
        FOther = new QLineEdit(FWindow.get());
        FOther->setGeometry(10, 110, 54, 19);
        FPanel->OnUpdate = [this](QObject* sender) {
            EXPECT_EQ(sender, FPanel);
            ++FUpdates;
        };
    }

    void TearDown() override {
        FWindow.reset();
        platform::FormatSettings() = {'.', ','};
    }

    TSpinEdit* Edit() const { return FPanel->SetPointEdit(); }
    QToolButton* Button() const { return FPanel->SetPointButton(); }

    // Expanded, controls on, the window active and the field focused.
    void OpenForInput() {
        FPanel->SetAllowSetPoint(true);
        FPanel->SetControlsEnabled(true);
        FWindow->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(FWindow.get()));
        Edit()->setFocus(Qt::OtherFocusReason);
        ASSERT_TRUE(Edit()->hasFocus());
    }

    void Type(const QString& text) {
        Edit()->selectAll();
        QTest::keyClicks(Edit(), text);
    }

    std::unique_ptr<QWidget> FWindow;
    TELflowMfc* FPanel = nullptr;
    QLineEdit* FOther = nullptr;
    int FUpdates = 0;
};

TEST_F(ELflowMfcTest, StartsCollapsedAndBlank) {
    EXPECT_EQ(FPanel->size(), QSize(54, 58));
    EXPECT_EQ(FPanel->LedDisplay()->Caption(), "");
    EXPECT_EQ(FPanel->SetPoint(), 20);
    EXPECT_EQ(Edit()->text(), "20");
    EXPECT_FALSE(Button()->isEnabled());
    EXPECT_FALSE(Edit()->isEnabled());
    // The picture sits below the display on the silver face.
    const QImage image = panels_test::Render(*FPanel);
    EXPECT_NE(image.pixel(27, 40), QColor(192, 192, 192).rgb());
    EXPECT_EQ(image.pixel(2, 40), QColor(192, 192, 192).rgb());
}

// A reading that rounds to the text already shown changes nothing the
// owner hears of, but the panel keeps the exact reading.
TEST_F(ELflowMfcTest, UpdateOnlyWhenTheShownTextChanges) {
    FPanel->SetValue(12.3456f);
    EXPECT_EQ(FPanel->Caption(), "12.35");
    EXPECT_EQ(FPanel->LedDisplay()->Caption(), "12.35");
    EXPECT_EQ(FUpdates, 1);

    FPanel->SetValue(12.3471f);
    EXPECT_EQ(FPanel->Caption(), "12.35");
    EXPECT_EQ(FPanel->Value(), 12.3471f);
    EXPECT_EQ(FUpdates, 1);

    FPanel->SetCaption("");
    EXPECT_EQ(FUpdates, 2);
    EXPECT_EQ(FPanel->LedDisplay()->Caption(), "");
    FPanel->SetCaption("");
    EXPECT_EQ(FUpdates, 2);

    // Four significant digits, then padded to the decimals.
    FPanel->SetValue(123.456f);
    EXPECT_EQ(FPanel->Caption(), "123.50");
}

// A reading the four cells cannot show whole lights the overflow mark, never
// a part of it (10010 would light "1.001"); the hint holds the reading. A
// reading only padded past the cells ("123.50") is no overflow. An old
// reading is drawn dimmed, in whatever colour the owner chose.
TEST_F(ELflowMfcTest, ReadingsTooWideShowTheOverflowMarkAndOldOnesAreDimmed) {
    struct Case {
        float value;
        const char* led;
        bool overflow;
    };
    for (const Case& c :
         {Case{10010.0f, "OFL", true}, Case{99999.0f, "OFL", true}, Case{9999.0f, "9999.00", false},
          Case{123.456f, "123.50", false}, Case{0.5f, "0.50", false}}) {
        SCOPED_TRACE(c.value);
        FPanel->SetValue(c.value);
        EXPECT_EQ(FPanel->LedDisplay()->Caption(), c.led);
        EXPECT_EQ(FPanel->Overflowed(), c.overflow);
        EXPECT_EQ(FPanel->toolTip(), c.overflow ? FPanel->Caption() : QString());
    }
    FPanel->SetCaption("");
    EXPECT_FALSE(FPanel->Overflowed());

    FPanel->SetReadingOld(true, 40);
    EXPECT_EQ(FPanel->LedDisplay()->OnColor(), QColor(0, 102, 0));
    FPanel->SetOnColor(QColor(255, 0, 0));
    EXPECT_EQ(FPanel->LedDisplay()->OnColor(), QColor(102, 0, 0));
    FPanel->SetReadingOld(false);
    EXPECT_EQ(FPanel->LedDisplay()->OnColor(), QColor(255, 0, 0));
}

// The operator's decimal comma stays in the caption; the LED display gets
// its own decimal point, so all four digits stay visible.
TEST_F(ELflowMfcTest, DecimalCommaLightsTheLedPoint) {
    platform::FormatSettings() = {',', '.'};
    FPanel->SetValue(12.3456f);
    EXPECT_EQ(FPanel->Caption(), "12,35");
    EXPECT_EQ(FPanel->LedDisplay()->Caption(), "12.35");
}

TEST_F(ELflowMfcTest, SetPointIsHeldToTheMaximumAndShownByTheField) {
    FPanel->SetSetPoint(150);
    EXPECT_EQ(FPanel->SetPoint(), 100);
    EXPECT_EQ(Edit()->text(), "100");

    FPanel->SetSetPoint(-5);
    EXPECT_EQ(Edit()->text(), "0");
    EXPECT_EQ(FPanel->SetPoint(), 0);
}

TEST_F(ELflowMfcTest, TypedSetPointsAreHeldToTheLimits) {
    const struct {
        int Max;
        const char* Typed;
        int SetPoint;
    } cases[] = {
        {100, "35", 35},
        {50, "80", 50},     // SetPointMax
        {150, "120", 100},  // the field's fixed ceiling
        {150, "999", 100},
    };
    OpenForInput();
    for (const auto& c : cases) {
        FPanel->SetSetPointMax(c.Max);
        Type(c.Typed);
        EXPECT_EQ(FPanel->SetPoint(), c.SetPoint) << c.Typed;
        EXPECT_EQ(Edit()->text(), QString::number(c.SetPoint)) << c.Typed;
    }
}

TEST_F(ELflowMfcTest, EmptyingTheFieldFallsBackToTheMinimum) {
    FPanel->SetSetPointMin(5);
    OpenForInput();
    Edit()->selectAll();
    QTest::keyClick(Edit(), Qt::Key_Backspace);
    EXPECT_EQ(FPanel->SetPoint(), 5);
    EXPECT_EQ(Edit()->text(), "5");

    // Already at the minimum: the field may stay empty.
    Edit()->selectAll();
    QTest::keyClick(Edit(), Qt::Key_Backspace);
    EXPECT_EQ(FPanel->SetPoint(), 5);
    EXPECT_EQ(Edit()->text(), "");
}

TEST_F(ELflowMfcTest, ControlsFollowTheFormOfThePanel) {
    // Collapsed, the controls cannot be switched on.
    FPanel->SetControlsEnabled(true);
    EXPECT_FALSE(FPanel->ControlsEnabled());
    EXPECT_FALSE(Button()->isEnabled());
    EXPECT_FALSE(Edit()->isEnabled());

    FPanel->SetAllowSetPoint(true);
    EXPECT_EQ(FPanel->size(), QSize(54, 95));
    EXPECT_FALSE(Button()->isEnabled());
    FPanel->SetControlsEnabled(true);
    EXPECT_TRUE(Button()->isEnabled());
    EXPECT_TRUE(Edit()->isEnabled());

    FPanel->SetAllowSetPoint(false);
    EXPECT_EQ(FPanel->size(), QSize(54, 58));
    EXPECT_FALSE(FPanel->ControlsEnabled());
    EXPECT_FALSE(Button()->isEnabled());
    EXPECT_FALSE(Edit()->isEnabled());
}

// Enter in an empty field sends the field's minimum, and the button stays
// locked for five seconds while readings still reach the panel.
TEST_F(ELflowMfcTest, EnterInAnEmptyFieldSendsAndLocksTheButton) {
    FPanel->SetSetPointMin(5);
    FPanel->SetSetPoint(5);
    OpenForInput();
    Edit()->selectAll();
    QTest::keyClick(Edit(), Qt::Key_Backspace);
    ASSERT_EQ(Edit()->text(), "");

    int requests = 0;
    bool lockedNearTheEnd = false;
    FPanel->OnSetFlow = [&](QObject* sender) {
        EXPECT_EQ(sender, FPanel);
        ++requests;
        EXPECT_EQ(FPanel->SetPoint(), 5);
        EXPECT_EQ(Edit()->text(), "5");
        EXPECT_FALSE(Button()->isEnabled());
        QTimer::singleShot(100, FPanel, [this] { FPanel->SetValue(3.25f); });
        QTimer::singleShot(TInstrumentPanel::kSetPointLockMs - 300, FPanel,
                           [&] { lockedNearTheEnd = !Button()->isEnabled(); });
    };

    const std::clock_t cpuBefore = std::clock();
    QTest::keyClick(Edit(), Qt::Key_Return);
    const double cpuSeconds = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;

    EXPECT_EQ(requests, 1);
    EXPECT_EQ(FPanel->Caption(), "3.25");
    EXPECT_EQ(FUpdates, 1);
    EXPECT_TRUE(lockedNearTheEnd);
    EXPECT_TRUE(Button()->isEnabled());
    EXPECT_FALSE(FPanel->SetPointLocked());
    // The lock sleeps between events; it does not spin for five seconds.
    EXPECT_LT(cpuSeconds, 2.5);
}

// The end of a lock leaves the button as the owner's ControlsEnabled says,
// and switching the controls on during the lock does not cut it short.
TEST_F(ELflowMfcTest, LockEndsWithTheControlsAsTheOwnerLeftThem) {
    OpenForInput();
    bool enabledMidLock = true;
    FPanel->OnSetFlow = [&](QObject*) {
        QTimer::singleShot(100, FPanel, [&] {
            FPanel->SetControlsEnabled(false);
            FPanel->SetControlsEnabled(true);
            enabledMidLock = Button()->isEnabled();
            FPanel->SetControlsEnabled(false);
        });
    };
    Button()->click();
    EXPECT_FALSE(enabledMidLock);
    EXPECT_FALSE(Button()->isEnabled());
    EXPECT_FALSE(Edit()->isEnabled());
}

// The window closing during a lock takes the panel, and the field whose
// Enter started the lock, with it; the end of the lock touches neither.
TEST_F(ELflowMfcTest, PanelDestroyedDuringTheLockIsLeftAlone) {
    OpenForInput();
    QPointer<TELflowMfc> panel(FPanel);
    FPanel->OnSetFlow = [&](QObject*) {
        QTimer::singleShot(100, FPanel, [&] { FPanel->deleteLater(); });
    };
    // Only the press: the release would go to a field that no longer exists.
    QTest::keyPress(Edit(), Qt::Key_Return);
    EXPECT_TRUE(panel.isNull());
}

TEST_F(ELflowMfcTest, FailedRequestFreesTheButtonAtOnce) {
    OpenForInput();
    FPanel->OnSetFlow = [](QObject*) { throw std::runtime_error("There is no active connection"); };
    EXPECT_THROW(Button()->click(), std::runtime_error);
    EXPECT_TRUE(Button()->isEnabled());
    EXPECT_FALSE(FPanel->SetPointLocked());
}

}  // namespace
