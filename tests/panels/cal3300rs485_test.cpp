// The temperature controller panel: what differs from its mass-flow twin
// (the numeric set-point field, SetPointMax as the limit, SetBand, the
// decimals of the field) and its Enter rule with the field's own exit.
#include "panels/cal3300rs485.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QLabel>  // the LED display hands out its label through a QPointer
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include <memory>
#include <string>
#include <vector>

#include "guiapp.h"
#include "panels/floatedit.h"
#include "panels/lednumber.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"

using namespace panels;
using panels_test::EnsureGuiApplication;

namespace {

// A window with the panel as the main window streams it (limits 30 .. 60)
// and a second field to take the focus; messages are recorded.
class Cal3300Test : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureGuiApplication();
        platform::FormatSettings() = {'.', ','};
        FPreviousSink = platform::SetMessageSink(
            [this](const platform::TMessage& m) { FMessages.push_back(m.Text); });
        FWindow = std::make_unique<QWidget>();
        FWindow->resize(120, 140);
        FPanel = new TCal3300rs485(FWindow.get());
        FPanel->move(10, 10);
        FOther = new QLineEdit(FWindow.get());
        FOther->setGeometry(10, 110, 54, 19);
        FPanel->SetSetPointMin(30);
        FPanel->SetSetPointMax(60);
    }

    void TearDown() override {
        FWindow.reset();
        platform::SetMessageSink(FPreviousSink);
    }

    TPosFloatEdit* Edit() const { return FPanel->SetPointEdit(); }
    QToolButton* Button() const { return FPanel->SetPointButton(); }

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
    TCal3300rs485* FPanel = nullptr;
    QLineEdit* FOther = nullptr;
    std::vector<std::string> FMessages;
    platform::TMessageSink FPreviousSink;
};

TEST_F(Cal3300Test, StartsCollapsedWithABlankSetPointField) {
    EXPECT_EQ(FPanel->size(), QSize(54, 40));
    EXPECT_EQ(FPanel->SetPoint(), 20.0f);
    EXPECT_TRUE(Edit()->Null());
    EXPECT_EQ(Edit()->text(), "");
    // The display shrinks to its four cells once it has painted.
    panels_test::Render(*FPanel);
    QApplication::processEvents();
    EXPECT_EQ(FPanel->LedDisplay()->geometry(), QRect(0, 0, 52, 21));

    FPanel->SetAllowSetPoint(true);
    EXPECT_EQ(FPanel->size(), QSize(54, 77));
}

TEST_F(Cal3300Test, SetPointIsHeldToTheMaximum) {
    FPanel->SetSetPoint(80.0f);
    EXPECT_EQ(FPanel->SetPoint(), 60.0f);
    EXPECT_EQ(Edit()->text(), "60");

    // No lower clamp: the field's bounds check is the operator's guard.
    FPanel->SetSetPoint(25.5f);
    EXPECT_EQ(FPanel->SetPoint(), 25.5f);
    EXPECT_EQ(Edit()->text(), "25.5");
}

// Above the limit the field shows the limit at once; below it the set
// point is taken as typed and the field reports it on leaving.
TEST_F(Cal3300Test, TypedTemperaturesAgainstTheLimits) {
    OpenForInput();
    Type("75");
    EXPECT_EQ(Edit()->text(), "60");
    EXPECT_EQ(FPanel->SetPoint(), 60.0f);
    EXPECT_TRUE(FMessages.empty());

    Type("25");
    EXPECT_EQ(FPanel->SetPoint(), 25.0f);
    QTest::keyClick(Edit(), Qt::Key_Tab);
    ASSERT_EQ(FMessages.size(), 1u);
    EXPECT_EQ(FMessages[0], "Your entered Value is below the acceptable limit of 30.0");
    EXPECT_TRUE(Edit()->hasFocus());
    EXPECT_EQ(FPanel->SetPoint(), 25.0f);
}

TEST_F(Cal3300Test, BandIsKeptInsideTheLimits) {
    const struct {
        int Written;
        int Kept;
    } cases[] = {{70, 60}, {10, 30}, {45, 45}, {60, 60}, {30, 30}};
    for (const auto& c : cases) {
        FPanel->SetSetBand(c.Written);
        EXPECT_EQ(FPanel->SetBand(), c.Kept) << c.Written;
    }
}

TEST_F(Cal3300Test, DecimalPlacesRedisplayTheFieldButNotTheCaption) {
    FPanel->SetDecimalPlaces(2);
    FPanel->SetSetPoint(45.25f);
    FPanel->SetValue(40.46f);
    EXPECT_EQ(Edit()->text(), "45.25");
    EXPECT_EQ(FPanel->Caption(), "40.46");

    FPanel->SetDecimalPlaces(1);
    EXPECT_EQ(Edit()->text(), "45.3");
    EXPECT_EQ(FPanel->Caption(), "40.46");
    FPanel->SetValue(40.46f);
    EXPECT_EQ(FPanel->Caption(), "40.5");
}

// Enter in the blank field sends 0 and locks the button; the field then
// moves on as after every Enter, and its exit reports the low set point.
TEST_F(Cal3300Test, EnterInTheBlankFieldSendsZeroAndLocksTheButton) {
    OpenForInput();
    ASSERT_EQ(Edit()->text(), "");
    int requests = 0;
    FPanel->OnSetTemp = [&](QObject* sender) {
        EXPECT_EQ(sender, FPanel);
        ++requests;
        EXPECT_EQ(FPanel->SetPoint(), 0.0f);
        EXPECT_EQ(Edit()->text(), "0");
        EXPECT_FALSE(Button()->isEnabled());
        EXPECT_TRUE(FMessages.empty());
    };
    QTest::keyClick(Edit(), Qt::Key_Return);
    EXPECT_EQ(requests, 1);
    EXPECT_TRUE(Button()->isEnabled());
    ASSERT_EQ(FMessages.size(), 1u);
    EXPECT_EQ(FMessages[0], "Your entered Value is below the acceptable limit of 30.0");
}

}  // namespace
