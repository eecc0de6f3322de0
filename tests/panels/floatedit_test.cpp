// The numeric edit field driven by real key events on the offscreen platform.
#include "panels/floatedit.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QTest>
#include <QVBoxLayout>
#include <memory>
#include <optional>
#include <vector>

#include "platform/msgsink.h"
#include "platform/numtext.h"

namespace {

using panels::TFloatEdit;
using panels::TPosFloatEdit;

QApplication& App() {
    static int argc = 1;
    static char name[] = "floatedit_test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: the application must outlive every static of Qt's
    // that the test process tears down at exit.
    static auto* app = new QApplication(argc, argv);
    return *app;
}

// A window with a field under test between two plain fields, and a
// recording message sink.
class FloatEditTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        platform::FormatSettings() = {'.', ','};
        previousSink = platform::SetMessageSink([this](const platform::TMessage& m) {
            messages.push_back(m);
            const QCursor* cursor = QApplication::overrideCursor();
            cursorDuringMessage = cursor ? std::optional(cursor->shape()) : std::nullopt;
        });
    }

    void TearDown() override {
        window.reset();
        platform::SetMessageSink(previousSink);
        platform::FormatSettings() = {'.', ','};
    }

    template <typename Field = TFloatEdit>
    Field* Build() {
        window = std::make_unique<QWidget>();
        auto* layout = new QVBoxLayout(window.get());
        before = new TFloatEdit(window.get());
        auto* field = new Field(window.get());
        after = new TFloatEdit(window.get());
        layout->addWidget(before);
        layout->addWidget(field);
        layout->addWidget(after);
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        return field;
    }

    // A field like the reservoir temperature: one decimal, trimmed, 30 to 60.
    TFloatEdit* BuildTemperature() {
        TFloatEdit* field = Build();
        field->SetDecimalPlaces(1);
        field->SetTrimTrailingZeroes(true);
        field->SetBoundsEnabled(true);
        field->SetBoundLower(30);
        field->SetBoundUpper(60);
        field->SetText("40");
        return field;
    }

    static void Focus(QWidget* field) {
        field->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(field->hasFocus());
    }

    std::unique_ptr<QWidget> window;
    TFloatEdit* before = nullptr;
    TFloatEdit* after = nullptr;
    std::vector<platform::TMessage> messages;
    std::optional<Qt::CursorShape> cursorDuringMessage;
    platform::TMessageSink previousSink;
};

TEST_F(FloatEditTest, NewFieldShowsZeroWithFourDecimals) {
    TFloatEdit* field = Build();
    EXPECT_EQ(field->Text(), "0.0000");
    EXPECT_EQ(field->DecimalPlaces(), 4);
    EXPECT_EQ(field->AsFloat(), 0);
    EXPECT_FALSE(field->Null());
}

TEST_F(FloatEditTest, ExitChecksBoundsWithTheUntrimmedBound) {
    struct Case {
        const char* typed;
        const char* shown;
        const char* message;  // nullptr: no message, the focus moves on
    };
    const Case cases[] = {
        {"25", "25", "Your entered Value is below the acceptable limit of 30.0"},
        {"61", "61", "Your entered Value is above the acceptable limit of 60.0"},
        {"60", "60", nullptr},
        {"30", "30", nullptr},
        {"45.26", "45.3", nullptr},
        {"29.96", "30", nullptr},  // held as 30.0: the bound is met
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        TFloatEdit* field = BuildTemperature();
        int exits = 0;
        field->OnExit = [&](QObject* sender) {
            EXPECT_EQ(sender, field);
            ++exits;
        };
        int neighbourExits = 0;
        after->OnExit = [&](QObject*) { ++neighbourExits; };
        messages.clear();
        Focus(field);
        QTest::keyClicks(field, c.typed);
        QTest::keyClick(field, Qt::Key_Tab);
        EXPECT_EQ(field->Text(), c.shown);
        EXPECT_EQ(exits, 1);
        if (c.message == nullptr) {
            EXPECT_TRUE(messages.empty());
            EXPECT_TRUE(after->hasFocus());
            continue;
        }
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].Type, platform::TMsgDlgType::mtError);
        EXPECT_EQ(messages[0].Caption, "Error");
        EXPECT_EQ(messages[0].Text, c.message);
        EXPECT_TRUE(field->hasFocus());
        EXPECT_FALSE(after->hasFocus());
        EXPECT_EQ(neighbourExits, 0);  // the neighbour was never entered
    }
}

TEST_F(FloatEditTest, BoundsMessageShowsTheDefaultCursorOverABusyOne) {
    TFloatEdit* field = BuildTemperature();
    Focus(field);
    QTest::keyClicks(field, "99");
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QTest::keyClick(field, Qt::Key_Tab);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(cursorDuringMessage, Qt::ArrowCursor);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    QApplication::restoreOverrideCursor();
}

TEST_F(FloatEditTest, MinusTogglesTheSignOfAShownNumberAndItsColour) {
    TFloatEdit* field = Build();
    field->SetDecimalPlaces(1);
    field->SetTrimTrailingZeroes(true);
    field->SetColorFontNeg(Qt::red);
    field->SetText("12.5");
    Focus(field);
    QTest::keyClick(field, Qt::Key_End);  // drop the selection of tabbing in
    QTest::keyClick(field, '-');
    EXPECT_EQ(field->Text(), "-12.5");
    EXPECT_EQ(field->AsFloat(), -12.5L);
    EXPECT_EQ(field->palette().color(QPalette::Active, QPalette::Text), QColor(Qt::red));
    QTest::keyClick(field, '-');
    EXPECT_EQ(field->Text(), "12.5");
    EXPECT_EQ(field->palette().color(QPalette::Active, QPalette::Text),
              QApplication::palette().color(QPalette::Text));
}

TEST_F(FloatEditTest, MinusOnASelectedTextStartsANegativeNumber) {
    TFloatEdit* field = Build();
    field->SetText("12.5");
    Focus(field);
    ASSERT_TRUE(field->hasSelectedText());
    QTest::keyClick(field, '-');
    EXPECT_EQ(field->text(), "-");
    EXPECT_EQ(field->AsFloat(), 0);
    QTest::keyClicks(field, "3.5");
    EXPECT_EQ(field->AsFloat(), -3.5L);
}

TEST_F(FloatEditTest, PlusTogglesAnExplicitPlusSignAndMakesTheValuePositive) {
    TFloatEdit* field = Build();
    field->SetDecimalPlaces(1);
    field->SetTrimTrailingZeroes(true);
    field->SetText("-12.5");
    Focus(field);
    QTest::keyClick(field, Qt::Key_End);
    QTest::keyClick(field, '+');
    EXPECT_EQ(field->Text(), "+12.5");
    EXPECT_TRUE(field->ShowPosSign());
    QTest::keyClick(field, '+');
    EXPECT_EQ(field->Text(), "12.5");
    EXPECT_EQ(field->AsFloat(), 12.5L);
}

TEST_F(FloatEditTest, PositiveFieldRefusesTheMinusKey) {
    TPosFloatEdit* field = Build<TPosFloatEdit>();
    field->SetDecimalPlaces(1);
    field->SetText("7");
    Focus(field);
    QTest::keyClick(field, Qt::Key_End);
    QTest::keyClick(field, '-');
    EXPECT_EQ(field->text(), "7.0");
    QTest::keyClicks(field, "x-a");
    EXPECT_EQ(field->text(), "7.0");
}

TEST_F(FloatEditTest, SecondDecimalSeparatorIsIgnored) {
    for (const char separator : {'.', ','}) {
        SCOPED_TRACE(separator);
        platform::FormatSettings() = {separator, separator == '.' ? ',' : '.'};
        TFloatEdit* field = Build();
        Focus(field);
        const std::string typed = std::string("1") + separator + "2" + separator + "3";
        QTest::keyClicks(field, QString::fromStdString(typed));
        EXPECT_EQ(field->text().toStdString(), std::string("1") + separator + "23");
        EXPECT_EQ(field->AsFloat(), 1.23L);
    }
}

TEST_F(FloatEditTest, CommaLocaleTypesAndShowsCommaAndDropsThousandsSeparators) {
    platform::FormatSettings() = {',', '.'};
    TFloatEdit* field = Build();
    field->SetDecimalPlaces(2);
    Focus(field);
    QTest::keyClicks(field, "1.234,5");
    EXPECT_EQ(field->AsFloat(), 1234.5L);
    QTest::keyClick(field, Qt::Key_Tab);
    EXPECT_EQ(field->Text(), "1234,50");
}

TEST_F(FloatEditTest, TextWriteIsNormalisedToTheFieldFormat) {
    TFloatEdit* field = Build();
    field->SetDecimalPlaces(1);
    field->SetTrimTrailingZeroes(true);
    field->SetText("40.00");
    EXPECT_EQ(field->Text(), "40");
    EXPECT_EQ(field->AsFloat(), 40);
    field->SetDecimalPlaces(2);
    field->SetTrimTrailingZeroes(false);
    field->SetAsFloat(405.4L);
    EXPECT_EQ(field->Text(), "405.40");
    field->SetTrimTrailingZeroes(true);
    EXPECT_EQ(field->Text(), "405.4");
    field->SetAsFloat(0);
    EXPECT_EQ(field->Text(), "0");
}

TEST_F(FloatEditTest, ValueWrittenIsHeldRoundedAndChangeFiresOnlyWhenTheTextChanges) {
    TFloatEdit* field = Build();
    field->SetDecimalPlaces(6);
    std::vector<long double> seen;
    field->OnChange = [&](QObject*) { seen.push_back(field->AsFloat()); };
    field->SetAsFloat(6.40720712345L);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(field->Text(), "6.407207");
    EXPECT_EQ(field->AsFloat(), platform::StrToFloat("6.407207"));
    EXPECT_EQ(seen[0], field->AsFloat());
    field->SetAsFloat(6.4072071L);  // same text
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(FloatEditTest, UnconvertibleTextRaisesTheConversionError) {
    TFloatEdit* field = Build();
    try {
        field->SetText("4x2");
        FAIL() << "no error";
    } catch (const platform::EConvertError& error) {
        EXPECT_STREQ(error.what(), "'4x2' is not a valid floating point value");
    }
}

TEST_F(FloatEditTest, PartialNumbersBeingTypedReadAsTheirNumber) {
    TFloatEdit* field = Build();
    Focus(field);
    struct Case {
        const char* text;
        long double value;
    };
    for (const Case& c : {Case{"", 0}, Case{"-", 0}, Case{"12.", 12}, Case{" 7 ", 7},
                          Case{"1,234", 1234}, Case{"50%", 50}}) {
        SCOPED_TRACE(c.text);
        field->setText(c.text);
        EXPECT_EQ(field->AsFloat(), c.value);
    }
}

TEST_F(FloatEditTest, ReadOnlyFieldIgnoresTypingIsSkippedByTabAndShowsItsColour) {
    TFloatEdit* field = Build();
    field->SetDecimalPlaces(2);
    field->SetAsFloat(37.48L);
    field->SetColorRO(QApplication::palette().color(QPalette::Button));
    field->SetReadOnly(true);
    EXPECT_EQ(field->palette().color(QPalette::Active, QPalette::Base),
              QApplication::palette().color(QPalette::Button));

    Focus(before);
    QTest::keyClick(before, Qt::Key_Tab);
    EXPECT_TRUE(after->hasFocus());
    QTest::keyClick(after, Qt::Key_Up);
    EXPECT_TRUE(before->hasFocus());

    field->setFocus(Qt::MouseFocusReason);
    QTest::keyClicks(field, "5-.");
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_EQ(field->Text(), "37.48");

    field->SetReadOnly(false);
    EXPECT_EQ(field->palette().color(QPalette::Active, QPalette::Base),
              QApplication::palette().color(QPalette::Base));
    Focus(before);
    QTest::keyClick(before, Qt::Key_Tab);
    EXPECT_TRUE(field->hasFocus());
    QTest::keyClicks(field, "5");
    EXPECT_EQ(field->Text(), "5");
}

TEST_F(FloatEditTest, FocusColourWhileEditableAndFocused) {
    TFloatEdit* field = Build();
    field->SetColorFocus(Qt::yellow);
    EXPECT_NE(field->StateColor(), QColor(Qt::yellow));
    Focus(field);
    EXPECT_EQ(field->palette().color(QPalette::Active, QPalette::Base), QColor(Qt::yellow));
    QTest::keyClick(field, Qt::Key_Tab);
    EXPECT_EQ(field->palette().color(QPalette::Active, QPalette::Base),
              QApplication::palette().color(QPalette::Base));
    field->SetColorDisabled(Qt::gray);
    field->setEnabled(false);
    EXPECT_EQ(field->palette().color(QPalette::Disabled, QPalette::Base), QColor(Qt::gray));
}

TEST_F(FloatEditTest, EnterMovesOnAfterOnKeyDownHasSeenIt) {
    TFloatEdit* field = Build();
    std::vector<int> keys;
    bool focusedAtEnter = false;
    field->OnKeyDown = [&](QObject*, int& key, Qt::KeyboardModifiers) {
        keys.push_back(key);
        if (key == Qt::Key_Return)
            focusedAtEnter = field->hasFocus();
    };
    Focus(field);
    QTest::keyClicks(field, "8");
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(keys, (std::vector<int>{Qt::Key_8, Qt::Key_Return}));
    EXPECT_TRUE(focusedAtEnter);
    EXPECT_TRUE(after->hasFocus());
    EXPECT_EQ(field->Text(), "8.0000");
}

TEST_F(FloatEditTest, KeyDownHandlerThatClaimsTheFocusKeepsEnterInTheField) {
    TFloatEdit* field = Build();
    int exits = 0;
    field->OnExit = [&](QObject*) { ++exits; };
    field->OnKeyDown = [&](QObject*, int& key, Qt::KeyboardModifiers) {
        if (key == Qt::Key_Return)
            field->SetFocus();  // a rejected entry: the operator corrects it here
    };
    Focus(field);
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_TRUE(field->hasFocus());
    EXPECT_EQ(exits, 0);
}

TEST_F(FloatEditTest, UpAndDownMoveTheFocusAndAreNotSeenByOnKeyDown) {
    TFloatEdit* field = Build();
    int seen = 0;
    field->OnKeyDown = [&](QObject*, int&, Qt::KeyboardModifiers) { ++seen; };
    Focus(field);
    QTest::keyClick(field, Qt::Key_Down);
    EXPECT_TRUE(after->hasFocus());
    Focus(field);
    QTest::keyClick(field, Qt::Key_Up);
    EXPECT_TRUE(before->hasFocus());
    EXPECT_EQ(seen, 0);
}

TEST_F(FloatEditTest, KeyDownHandlerCanSwallowAKey) {
    TFloatEdit* field = Build();
    field->OnKeyDown = [](QObject*, int& key, Qt::KeyboardModifiers) {
        if (key == Qt::Key_5)
            key = 0;
    };
    Focus(field);
    QTest::keyClicks(field, "151");
    EXPECT_EQ(field->text(), "11");
}

TEST_F(FloatEditTest, EscapeUndoesTheTyping) {
    TFloatEdit* field = Build();
    field->SetText("3");
    Focus(field);
    QTest::keyClick(field, Qt::Key_End);
    QTest::keyClicks(field, "9");
    EXPECT_EQ(field->text(), "3.00009");
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_EQ(field->text(), "3.0000");
    EXPECT_EQ(field->AsFloat(), 3);
    EXPECT_TRUE(field->hasFocus());
}

TEST_F(FloatEditTest, CtrlNNullsTheFieldAndTypingLeavesTheNullState) {
    TFloatEdit* field = Build();
    field->SetNullStr("n/a");
    field->SetText("12");
    Focus(field);
    QTest::keyClick(field, Qt::Key_N, Qt::ControlModifier);
    EXPECT_TRUE(field->Null());
    EXPECT_EQ(field->text(), "n/a");
    EXPECT_EQ(field->Text(), "");
    EXPECT_EQ(field->AsFloat(), 0);
    QTest::keyClick(field, Qt::Key_Tab);
    EXPECT_TRUE(field->Null());

    Focus(field);
    QTest::keyClicks(field, "7");
    EXPECT_FALSE(field->Null());
    EXPECT_EQ(field->text(), "7");
    EXPECT_EQ(field->AsFloat(), 7);
}

TEST_F(FloatEditTest, NullStateFollowsWritesAndCanBeRefused) {
    TFloatEdit* field = Build();
    field->SetNull(true);
    EXPECT_EQ(field->text(), "");
    field->SetAsFloat(2);
    EXPECT_FALSE(field->Null());
    EXPECT_EQ(field->Text(), "2.0000");

    field->SetAllowKbdNull(false);
    Focus(field);
    QTest::keyClick(field, Qt::Key_N, Qt::ControlModifier);
    EXPECT_FALSE(field->Null());
}

TEST_F(FloatEditTest, ScaleDividesTheShownValue) {
    TFloatEdit* field = Build();
    field->SetDecimalPlaces(1);
    field->SetScale(-1000);
    EXPECT_EQ(field->Scale(), 1000);
    field->SetAsFloat(2500);
    EXPECT_EQ(field->Text(), "2.5");
    field->SetText("4");
    EXPECT_EQ(field->AsFloat(), 4000);
    field->SetScale(0);
    EXPECT_EQ(field->Scale(), 1);
}

}  // namespace
