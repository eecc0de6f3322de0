#include "panels/spinedit.h"

#include <gtest/gtest.h>
#include <QClipboard>
#include <QElapsedTimer>
#include <QTest>

#include <memory>
#include <vector>

#include "guiapp.h"
#include "panels/toolkitfont.h"

using namespace panels;
using panels_test::EnsureGuiApplication;

namespace {

// A window with the set-point field as the mass-flow controller panel has it
// (0 .. 100, three characters) and a second field to move the focus to.
class SpinEditTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureGuiApplication();
        FWindow = std::make_unique<QWidget>();
        FWindow->resize(200, 80);
        FSpin = new TSpinEdit(FWindow.get());
        FSpin->setFont(ToolkitFont("Small Fonts", -9, true));
        FSpin->setGeometry(0, 0, 54, 19);
        FSpin->SetMinValue(0);
        FSpin->SetMaxValue(100);
        FSpin->SetMaxLength(3);
        FSpin->SetAutoSelect(false);
        FSpin->SetValue(20);
        FOther = new QLineEdit(FWindow.get());
        FOther->setGeometry(0, 40, 54, 19);
        FSpin->OnChange = [this](QObject* sender) {
            EXPECT_EQ(sender, FSpin);
            FChanges.push_back(FSpin->text());
        };
    }

    void ShowAndFocus() {
        FWindow->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(FWindow.get()));
        FSpin->setFocus(Qt::OtherFocusReason);
    }

    void Type(const QString& text) {
        ShowAndFocus();
        FSpin->selectAll();
        QTest::keyClicks(FSpin, text);
    }

    std::vector<QString> FChanges;  // outlives the window and its handlers
    std::unique_ptr<QWidget> FWindow;
    TSpinEdit* FSpin = nullptr;
    QLineEdit* FOther = nullptr;
};

TEST_F(SpinEditTest, TextThatIsNoWholeNumberReadsAsMinValue) {
    FSpin->SetMinValue(5);
    const struct {
        const char* Text;
        int Value;
    } cases[] = {
        {"12", 12},
        {"+7", 7},
        {"-3", -3},
        {"150", 150},  // reading never clamps
        {"", 5},
        {"-", 5},
        {"+", 5},
        {"1.5", 5},
        {" 5", 5},
        {"12a", 5},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"2147483648", 5},
        {"99999999999999999999", 5},
    };
    for (const auto& c : cases) {
        FSpin->setText(c.Text);
        EXPECT_EQ(FSpin->Value(), c.Value) << '"' << c.Text << '"';
    }
}

TEST_F(SpinEditTest, WritingClampsUnlessTheBoundsAreEqual) {
    FSpin->SetValue(150);
    EXPECT_EQ(FSpin->text(), "100");
    FSpin->SetValue(-5);
    EXPECT_EQ(FSpin->text(), "0");
    FSpin->SetMinValue(7);
    FSpin->SetMaxValue(7);
    FSpin->SetValue(150);
    EXPECT_EQ(FSpin->text(), "150");
    FSpin->SetMinValue(0);
    FSpin->SetMaxValue(100);
    EXPECT_EQ(FSpin->text(), "150");  // new bounds do not touch the text
}

TEST_F(SpinEditTest, ProgramTextIsNeverCutToMaxLength) {
    FSpin->SetMinValue(-1000);
    FSpin->SetValue(-100);
    EXPECT_EQ(FSpin->text(), "-100");
}

TEST_F(SpinEditTest, ChangeEventFollowsEveryChangeOfText) {
    FSpin->SetValue(30);
    FSpin->SetValue(30);
    FSpin->SetValue(130);
    Type("45");
    const std::vector<QString> expected = {"30", "100", "4", "45"};
    EXPECT_EQ(FChanges, expected);
}

TEST_F(SpinEditTest, LeavingTheFieldClampsTheValue) {
    FSpin->SetMaxLength(0);
    Type("150");
    EXPECT_EQ(FSpin->text(), "150");
    FOther->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(FSpin->text(), "100");

    FSpin->setFocus();
    FSpin->selectAll();
    QTest::keyClicks(FSpin, "-");
    FOther->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(FSpin->text(), "-");  // reads as MinValue, which needs no clamping
}

TEST_F(SpinEditTest, SwitchingWindowsDoesNotClamp) {
    FSpin->SetMaxLength(0);
    Type("150");
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
    EXPECT_EQ(FSpin->text(), "150");
}

TEST_F(SpinEditTest, OnlyNumberCharactersAreTaken) {
    FSpin->SetMaxLength(0);
    Type("1a2 .b-+x");
    EXPECT_EQ(FSpin->text(), "12.-+");
}

TEST_F(SpinEditTest, TypingStopsAtMaxLength) {
    Type("12345");
    EXPECT_EQ(FSpin->text(), "123");
    QTest::keyClick(FSpin, Qt::Key_Backspace);
    QTest::keyClick(FSpin, '9');
    EXPECT_EQ(FSpin->text(), "129");
}

TEST_F(SpinEditTest, PasteKeepsToMaxLengthAndTheEditor) {
    QApplication::clipboard()->setText("98765");
    Type("1");
    QTest::keySequence(FSpin, QKeySequence::Paste);
    EXPECT_EQ(FSpin->text(), "198");

    FSpin->SetEditorEnabled(false);
    FSpin->selectAll();
    QTest::keySequence(FSpin, QKeySequence::Paste);
    QTest::keySequence(FSpin, QKeySequence::Cut);
    EXPECT_EQ(FSpin->text(), "198");
}

TEST_F(SpinEditTest, EnterReachesTheKeyDownHandlerButNotTheText) {
    std::vector<int> keys;
    FSpin->OnKeyDown = [&](QObject*, int& key, Qt::KeyboardModifiers) { keys.push_back(key); };
    Type("7");
    QTest::keyClick(FSpin, Qt::Key_Return);
    EXPECT_EQ(FSpin->text(), "7");
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1], Qt::Key_Return);
}

TEST_F(SpinEditTest, KeyDownHandlerCanTakeAKeyAway) {
    FSpin->OnKeyDown = [](QObject*, int& key, Qt::KeyboardModifiers) {
        if (key == Qt::Key_5) {
            key = 0;
        }
    };
    Type("151");
    EXPECT_EQ(FSpin->text(), "11");
}

TEST_F(SpinEditTest, ArrowKeysStepWithinTheBounds) {
    ShowAndFocus();
    FSpin->SetIncrement(30);
    QTest::keyClick(FSpin, Qt::Key_Up);
    EXPECT_EQ(FSpin->text(), "50");
    QTest::keyClick(FSpin, Qt::Key_Up);
    QTest::keyClick(FSpin, Qt::Key_Up);
    EXPECT_EQ(FSpin->text(), "100");
    FSpin->SetValue(10);
    QTest::keyClick(FSpin, Qt::Key_Down);
    EXPECT_EQ(FSpin->text(), "0");

    FSpin->setReadOnly(true);
    QTest::keyClick(FSpin, Qt::Key_Up);
    EXPECT_EQ(FSpin->text(), "0");
}

TEST_F(SpinEditTest, SteppingSaturatesInsteadOfOverflowing) {
    FSpin->SetMinValue(0);
    FSpin->SetMaxValue(0);  // no clamping at all
    FSpin->setText("2147483647");
    ShowAndFocus();
    QTest::keyClick(FSpin, Qt::Key_Up);
    EXPECT_EQ(FSpin->text(), "2147483647");
}

TEST_F(SpinEditTest, DisabledEditorStillSteps) {
    FSpin->SetEditorEnabled(false);
    Type("5");
    EXPECT_EQ(FSpin->text(), "20");
    QTest::keyClick(FSpin, Qt::Key_Backspace);
    QTest::keyClick(FSpin, Qt::Key_Delete);
    EXPECT_EQ(FSpin->text(), "20");
    QTest::keyClick(FSpin, Qt::Key_Up);
    EXPECT_EQ(FSpin->text(), "21");
}

TEST_F(SpinEditTest, FocusSelectsTheTextOnlyWithAutoSelect) {
    ShowAndFocus();
    FOther->setFocus(Qt::TabFocusReason);
    FSpin->setFocus(Qt::TabFocusReason);
    EXPECT_FALSE(FSpin->hasSelectedText());
    FSpin->SetAutoSelect(true);
    FOther->setFocus(Qt::TabFocusReason);
    FSpin->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(FSpin->selectedText(), "20");
}

TEST_F(SpinEditTest, ButtonsFillAStripAtTheRightEdge) {
    ShowAndFocus();
    const QRect up = FSpin->UpButton()->geometry();
    const QRect down = FSpin->DownButton()->geometry();
    EXPECT_EQ(up.width(), TSpinEdit::kButtonWidth);
    EXPECT_EQ(down.width(), TSpinEdit::kButtonWidth);
    EXPECT_EQ(up.left(), down.left());
    EXPECT_GE(up.left(), 54 - TSpinEdit::kButtonWidth - 3);
    EXPECT_EQ(FSpin->height(), 19);  // the panel's font fits the designed height
    EXPECT_EQ(down.bottom() - up.top() + 1, 19 - 5);
    EXPECT_EQ(down.top(), up.bottom());  // the halves share one row
    EXPECT_EQ(FSpin->UpButton()->focusPolicy(), Qt::NoFocus);
}

TEST_F(SpinEditTest, NeverLowerThanItsFontNeeds) {
    FSpin->resize(54, 4);
    EXPECT_EQ(FSpin->height(), FSpin->MinHeight());
    EXPECT_GT(FSpin->MinHeight(), QFontMetrics(FSpin->font()).height());
}

TEST_F(SpinEditTest, ClickOnAButtonStepsOnce) {
    ShowAndFocus();
    QTest::mouseClick(FSpin->UpButton(), Qt::LeftButton);
    EXPECT_EQ(FSpin->text(), "21");
    QTest::mouseClick(FSpin->DownButton(), Qt::LeftButton);
    QTest::mouseClick(FSpin->DownButton(), Qt::LeftButton);
    EXPECT_EQ(FSpin->text(), "19");
}

// Holding a button repeats its step after a pause, then quickly; releasing
// ends the repetition. Only lower bounds of time are checked: a busy machine
// may run the timers late, never early.
TEST_F(SpinEditTest, HoldingAButtonRepeatsAfterAPause) {
    ShowAndFocus();
    QElapsedTimer clock;
    std::vector<qint64> stepTimes;
    FSpin->OnChange = [&](QObject*) { stepTimes.push_back(clock.elapsed()); };

    clock.start();
    QTest::mousePress(FSpin->UpButton(), Qt::LeftButton);
    QTest::qWait(1000);
    const std::size_t whileHeld = stepTimes.size();
    QTest::mouseRelease(FSpin->UpButton(), Qt::LeftButton);
    const std::size_t withRelease = stepTimes.size();
    QTest::qWait(300);

    ASSERT_GE(whileHeld, 3u);
    EXPECT_GE(stepTimes.front(), 350);  // the first repeat waits about 400 ms
    const double meanGap =
        double(stepTimes[whileHeld - 1] - stepTimes.front()) / double(whileHeld - 1);
    EXPECT_GE(meanGap, 80.0);               // then about every 100 ms
    EXPECT_EQ(withRelease, whileHeld + 1);  // the release is the last click
    EXPECT_EQ(stepTimes.size(), withRelease);
    EXPECT_EQ(FSpin->Value(), 20 + int(withRelease));
}

}  // namespace
