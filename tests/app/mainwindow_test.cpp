// The main window's calculator driven by real key events and clicks on the
// offscreen platform, under both decimal separators.
#include "app/mainwindow.h"
#include "app/laboratoryview.h"
#include "app/livedisplay.h"
#include "app/trendpage.h"
#include "app/uncertaintyview.h"

#include <gtest/gtest.h>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QValueAxis>
#include <memory>
#include <string>
#include <vector>

#include "app/comselect.h"
#include "app/skin.h"
#include "live/monitor.h"
#include "live/stability.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"
#include "testapp.h"

namespace {

using app::TfrmVapcalCalc;
using panels::TFloatEdit;

class MainWindowTest : public ::testing::TestWithParam<char> {
  protected:
    void SetUp() override {
        App();
        separator = GetParam();
        platform::FormatSettings() = {separator, separator == '.' ? ',' : '.'};
        previousSink = platform::SetMessageSink(
            [this](const platform::TMessage& m) { messages.push_back(m); });
        ASSERT_TRUE(dir.isValid());
        settingsFile = dir.filePath("Vapcal.ini").toStdString();
    }

    void TearDown() override {
        window.reset();
        platform::SetMessageSink(previousSink);
        platform::FormatSettings() = {'.', ','};
    }

    void Open() {
        window = std::make_unique<TfrmVapcalCalc>(settingsFile);
        window->ExecPortDialog = [this](app::TfrmComSelect&) {
            ++portDialogs;
            return app::mrCancel;
        };
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        // The port dialog of the first activation, cancelled: no line.
        ASSERT_TRUE(QTest::qWaitFor([this] { return portDialogs == 1; }));
    }

    void WriteSettings(const std::string& content) {
        QFile file(QString::fromStdString(settingsFile));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content.c_str());
    }

    std::string ReadSettings() {
        QFile file(QString::fromStdString(settingsFile));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return file.readAll().toStdString();
    }

    // A number text in the current locale: "40.02" or "40,02".
    std::string L(std::string text) const {
        for (char& c : text)
            if (c == '.')
                c = separator;
        return text;
    }

    // Replaces the text of `field` as an operator does: tab into it (which
    // selects the text) and type.
    void Type(QWidget* field, const std::string& text) {
        field->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(field->hasFocus());
        QTest::keyClicks(field, QString::fromStdString(L(text)));
    }

    void ManualInputMode() {
        QTest::mouseClick(window->cbxAllowInput, Qt::LeftButton);
        ASSERT_TRUE(window->cbxAllowInput->isChecked());
        ASSERT_TRUE(window->edtDilutedOput->hasFocus());
    }

    struct TResults {
        std::string satConc, satFlow, saturator, uncorrected, diluted, ratio;
    };
    void ExpectResults(const TResults& r) {
        EXPECT_EQ(window->edtSatConc->text().toStdString(), L(r.satConc));
        EXPECT_EQ(window->edtSatFlow->Text(), L(r.satFlow));
        EXPECT_EQ(window->edtSaturator->Text(), L(r.saturator));
        EXPECT_EQ(window->edtUncorrectedOput->Text(), L(r.uncorrected));
        EXPECT_EQ(window->edtDilutedOput->Text(), L(r.diluted));
        EXPECT_EQ(window->edtRatio->Text(), L(r.ratio));
    }

    char separator = '.';
    int portDialogs = 0;
    QTemporaryDir dir;
    std::string settingsFile;
    std::unique_ptr<TfrmVapcalCalc> window;
    std::vector<platform::TMessage> messages;
    platform::TMessageSink previousSink;
};

TEST_P(MainWindowTest, StartsWithoutSettingsOnTheDefaultsAndTheirResults) {
    Open();
    EXPECT_EQ(window->edtTemp->Text(), "40");
    EXPECT_EQ(window->edtFlow->Text(), "6");
    EXPECT_EQ(window->edtDilutionFlow->Text(), "10");
    EXPECT_EQ(window->edtPbar->Text(), L("29.96"));
    EXPECT_EQ(window->edtDp->Text(), "0");
    EXPECT_EQ(window->edtRefTemp->Text(), "20");
    ExpectResults({"6.25E+01", "6.407207", "400.45", "37.48", "40.02", "1.07"});
    EXPECT_FALSE(window->btnApply->isEnabled());
    EXPECT_FALSE(window->cbxAllowInput->isChecked());
    EXPECT_TRUE(window->edtDilutedOput->ReadOnly());
    EXPECT_FALSE(window->edtFlow->ReadOnly());
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(settingsFile)));
}

TEST_P(MainWindowTest, TypedInputsRecalculateOnLeavingEachField) {
    struct Case {
        const char *temp, *flow, *dilution;
        TResults results;
    };
    const Case cases[] = {
        {"30", "2", "5", {"2.95E+01", "2.067534", "60.99", "11.8", "12.19", "1.03"}},
        {"60", "20", "20", {"2.44E+02", "22.721392", "5544.02", "243.76", "276.92", "1.14"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.temp);
        Open();
        Type(window->edtTemp, c.temp);
        QTest::keyClick(window->edtTemp, Qt::Key_Tab);
        ASSERT_TRUE(window->edtFlow->hasFocus());
        QTest::keyClicks(window->edtFlow, c.flow);
        QTest::keyClick(window->edtFlow, Qt::Key_Tab);
        ASSERT_TRUE(window->edtDilutionFlow->hasFocus());
        QTest::keyClicks(window->edtDilutionFlow, c.dilution);
        QTest::keyClick(window->edtDilutionFlow, Qt::Key_Tab);
        ExpectResults(c.results);
        EXPECT_TRUE(window->btnApply->isEnabled());
        EXPECT_TRUE(messages.empty());
    }
}

TEST_P(MainWindowTest, SaturatorConditionsChangeEverythingButTheUncorrectedOutput) {
    Open();
    QTest::mouseClick(window->TabSet1, Qt::LeftButton, {}, window->TabSet1->tabRect(1).center());
    ASSERT_TRUE(window->pnlAdvanced->isVisible());
    Type(window->edtPbar, "29.92");
    QTest::keyClick(window->edtPbar, Qt::Key_Return);
    ASSERT_TRUE(window->edtDp->hasFocus());
    QTest::keyClicks(window->edtDp, "10");
    QTest::keyClick(window->edtDp, Qt::Key_Tab);
    QTest::keyClicks(window->edtRefTemp, "25");
    QTest::keyClick(window->edtRefTemp, Qt::Key_Tab);
    ExpectResults({"6.25E+01", "6.156819", "384.8", "37.48", "38.46", "1.03"});
}

TEST_P(MainWindowTest, EnterInTheDilutionFlowRecalculatesAndMovesToClose) {
    Open();
    Type(window->edtDilutionFlow, "5");
    QTest::keyClick(window->edtDilutionFlow, Qt::Key_Return);
    EXPECT_TRUE(window->btnClose->hasFocus());
    EXPECT_EQ(window->edtDilutedOput->Text(), L("79.99"));
}

TEST_P(MainWindowTest, ReadOnlyResultsAreSkippedByTab) {
    Open();
    window->edtDilutionFlow->setFocus(Qt::TabFocusReason);
    QTest::keyClick(window->edtDilutionFlow, Qt::Key_Tab);
    EXPECT_TRUE(window->cbxAllowInput->hasFocus());
}

TEST_P(MainWindowTest, ManualInputEnterBackCalculatesTheFlowOnce) {
    Open();
    ManualInputMode();
    EXPECT_TRUE(window->edtFlow->ReadOnly());
    EXPECT_FALSE(window->edtDilutedOput->ReadOnly());
    QTest::keyClicks(window->edtDilutedOput, QString::fromStdString(L("40.02")));
    QTest::keyClick(window->edtDilutedOput, Qt::Key_Return);
    EXPECT_EQ(window->edtFlow->Text(), "6");
    EXPECT_EQ(window->edtUncorrectedOput->Text(), L("37.48"));
    EXPECT_EQ(window->edtRatio->Text(), L("1.07"));
    EXPECT_EQ(window->edtSatFlow->Text(), L("6.407207"));
    EXPECT_EQ(window->edtSaturator->Text(), L("400.45"));
    EXPECT_TRUE(window->btnApply->isEnabled());
    EXPECT_FALSE(window->edtDilutedOput->hasFocus());
    EXPECT_FALSE(window->Calculator().ConcEntered);
    EXPECT_NEAR(static_cast<double>(window->Calculator().CalcFlow), 5.99887, 1e-5);
}

TEST_P(MainWindowTest, RejectedWantedOutputShowsOneMessageAndKeepsEverything) {
    struct Case {
        const char* wanted;
        const char* message;
    };
    const Case cases[] = {
        {"0", "Invalid concentration value"},
        {"100000", "The calculated Flow Value is below the acceptable limit of 0"},
        {"400", "The calculated Flow Value is above the acceptable limit of 20"},
    };
    for (const bool byEnter : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.wanted) + (byEnter ? " Enter" : " Tab"));
            messages.clear();
            Open();
            ManualInputMode();
            QTest::keyClicks(window->edtDilutedOput, c.wanted);
            QTest::keyClick(window->edtDilutedOput, byEnter ? Qt::Key_Return : Qt::Key_Tab);
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_EQ(messages[0].Caption, "Error");
            EXPECT_EQ(messages[0].Text, c.message);
            EXPECT_TRUE(window->edtDilutedOput->hasFocus());
            EXPECT_EQ(window->edtDilutedOput->Text(), c.wanted);
            EXPECT_EQ(window->edtFlow->Text(), "6");
            EXPECT_EQ(window->edtUncorrectedOput->Text(), L("37.48"));
            EXPECT_EQ(window->edtRatio->Text(), L("1.07"));
            EXPECT_FALSE(window->btnApply->isEnabled());

            // Leaving the field after an Enter does not run it again.
            QTest::keyClick(window->edtDilutedOput, Qt::Key_Tab);
            EXPECT_EQ(messages.size(), byEnter ? 1u : 2u);
        }
    }
}

TEST_P(MainWindowTest, TypingInTheFocusedDilutedOutputTouchesNothing) {
    Open();
    ManualInputMode();
    QTest::keyClicks(window->edtDilutedOput, QString::fromStdString(L("12.5")));
    EXPECT_EQ(window->edtDilutedOput->AsFloat(), 12.5L);
    EXPECT_EQ(window->edtRatio->Text(), L("1.07"));
    EXPECT_EQ(window->edtFlow->Text(), "6");
    EXPECT_FALSE(window->btnApply->isEnabled());
    EXPECT_TRUE(messages.empty());
}

TEST_P(MainWindowTest, DefaultRestoresTheInputsAndRecalculatesWithoutSaving) {
    Open();
    Type(window->edtTemp, "55");
    QTest::keyClick(window->edtTemp, Qt::Key_Tab);
    QTest::keyClicks(window->edtFlow, "3");
    QTest::keyClick(window->edtFlow, Qt::Key_Tab);
    window->TabSet1->setCurrentIndex(1);
    QTest::mouseClick(window->btnDefault, Qt::LeftButton);
    EXPECT_EQ(window->edtTemp->Text(), "40");
    EXPECT_EQ(window->edtFlow->Text(), "6");
    ExpectResults({"6.25E+01", "6.407207", "400.45", "37.48", "40.02", "1.07"});
    EXPECT_FALSE(QFile::exists(QString::fromStdString(settingsFile)));
}

TEST_P(MainWindowTest, ApplyCalculatesSavesTheSettingsAndStaysAvailable) {
    Open();
    Type(window->edtTemp, "45.5");
    QTest::keyClick(window->edtTemp, Qt::Key_Tab);
    ASSERT_TRUE(window->btnApply->isEnabled());
    QTest::mouseClick(window->btnApply, Qt::LeftButton);
    EXPECT_TRUE(window->btnApply->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    const std::string ini = ReadSettings();
    for (const std::string& line :
         {std::string("[Vapcal]"), "Temp=" + L("45.5"), "Pbar=" + L("29.96"), std::string("Dp=0"),
          std::string("Flow=6"), std::string("RefTemp=20"), std::string("DilutionFlow=10"),
          "DilutedOput=" + window->edtDilutedOput->Text(),
          "ReservoirOput=" + window->edtSatConc->text().toStdString(),
          std::string("AllowConcInput=0")})
        EXPECT_NE(ini.find(line), std::string::npos) << line << " in\n" << ini;
}

TEST_P(MainWindowTest, EnterInAFieldPressesApplyWhileItIsEnabled) {
    Open();
    Type(window->edtTemp, "50");
    QTest::keyClick(window->edtTemp, Qt::Key_Tab);
    ASSERT_TRUE(window->btnApply->isEnabled());
    ASSERT_FALSE(QFile::exists(QString::fromStdString(settingsFile)));
    window->edtFlow->setFocus(Qt::TabFocusReason);
    QTest::keyClick(window->edtFlow, Qt::Key_Return);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(settingsFile)));
    EXPECT_TRUE(window->edtFlow->hasFocus());  // Apply took the key
}

TEST_P(MainWindowTest, SettingsStartTheWindowInManualInputMode) {
    WriteSettings("[vapcal]\nflow=" + L("4.5") + "\nTemp=35\nAllowConcInput=1\n");
    Open();
    EXPECT_EQ(window->edtFlow->Text(), L("4.5"));
    EXPECT_EQ(window->edtTemp->Text(), "35");
    EXPECT_EQ(window->LastFlowSP, 4.5L);
    EXPECT_TRUE(window->cbxAllowInput->isChecked());
    EXPECT_TRUE(window->edtDilutedOput->hasFocus());
    EXPECT_TRUE(window->edtFlow->ReadOnly());
    EXPECT_FALSE(window->btnApply->isEnabled());
}

TEST_P(MainWindowTest, UnreadableSettingsTakeTheirDefaultsAndTheWindowSaysWhich) {
    WriteSettings("[Vapcal]\nFlow=abc\n");
    Open();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text,
              "These settings in Vapcal.ini could not be read and take their defaults: Flow");
    EXPECT_EQ(window->edtFlow->Text(), "6");
    EXPECT_EQ(window->LastFlowSP, 6);
    EXPECT_EQ(window->edtSatConc->text().toStdString(), L("6.25E+01"));
}

TEST_P(MainWindowTest, WorkflowErrorReachesTheStandardErrorBox) {
    Open();
    ManualInputMode();
    window->edtRefTemp->SetText(L("-273.15"));
    QTest::keyClicks(window->edtDilutedOput, "40");
    QTest::keyClick(window->edtDilutedOput, Qt::Key_Return);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Caption, "Error");
    EXPECT_EQ(messages[0].Text,
              "Reference temperature: must be above absolute zero (-273.15 \u00B0C)");
    EXPECT_EQ(window->edtFlow->Text(), "6");
    EXPECT_TRUE(window->isVisible());
}

TEST_P(MainWindowTest, AFailedCalculationClearsItsResultsInsteadOfKeepingOldOnes) {
    Open();
    window->TabSet1->setCurrentIndex(1);
    Type(window->edtPbar, "0");
    QTest::keyClick(window->edtPbar, Qt::Key_Tab);
    ExpectResults({"6.25E+01", "", "", "37.48", "", ""});
    EXPECT_TRUE(messages.empty());
    Type(window->edtPbar, "29.96");
    QTest::keyClick(window->edtPbar, Qt::Key_Tab);
    ExpectResults({"6.25E+01", "6.407207", "400.45", "37.48", "40.02", "1.07"});
}

TEST_P(MainWindowTest, AHeldFlowThatDeliversOffTheWantedOutputSaysSoBesideIt) {
    Open();
    ManualInputMode();
    EXPECT_TRUE(window->lblDeliveryHint->isHidden());
    QTest::keyClicks(window->edtDilutedOput, "1");
    QTest::keyClick(window->edtDilutedOput, Qt::Key_Return);
    EXPECT_EQ(window->edtFlow->Text(), L("0.1"));
    EXPECT_FALSE(window->lblDeliveryHint->isHidden());
    EXPECT_EQ(window->lblDeliveryHint->text().toStdString(), L("Flow 0.1 delivers 0.67 ng/l"));
    // Beside the field with the delivered concentration and the stability,
    // each line whole and clear of the others and of the check box.
    const app::TLiveDisplay& live = *window->LiveView;
    live.lblDelivered->setText(
        QString::fromStdString(L("Delivered now 140.02 \u00B1 0.95 ng/l (k = 2)")));
    const QLabel* lines[] = {live.lblDelivered, live.lblStability, window->lblDeliveryHint,
                             window->Uncertainty->lblDilutedOputU};
    window->Uncertainty->lblDilutedOputU->setText(
        QString::fromStdString(L("\u00B1 0.95 (k = 2.5)")));
    for (const QLabel* line : lines) {
        EXPECT_LE(line->fontMetrics().horizontalAdvance(line->text()), line->width())
            << line->text().toStdString();
        EXPECT_FALSE(line->geometry().intersects(window->cbxAllowInput->geometry()));
        EXPECT_FALSE(line->geometry().intersects(window->edtDilutedOput->geometry()));
        for (const QLabel* other : lines)
            EXPECT_TRUE(line == other || !line->geometry().intersects(other->geometry()));
    }
    EXPECT_TRUE(messages.empty());
}

TEST_P(MainWindowTest, SwitchingPagesOnlyChangesThePageInFront) {
    Open();
    const std::string diluted = window->edtDilutedOput->Text();
    window->TabSet1->setCurrentIndex(1);
    EXPECT_TRUE(window->pnlAdvanced->isVisible());
    EXPECT_FALSE(window->pnlVariables->isVisible());
    window->TabSet1->setCurrentIndex(2);
    EXPECT_TRUE(window->LiveView->pnlTrend->isVisible());
    EXPECT_FALSE(window->pnlAdvanced->isVisible());
    EXPECT_EQ(window->TabSet1->tabText(2), "Trend");
    window->TabSet1->setCurrentIndex(0);
    EXPECT_TRUE(window->pnlVariables->isVisible());
    EXPECT_FALSE(window->LiveView->pnlTrend->isVisible());
    EXPECT_EQ(window->edtDilutedOput->Text(), diluted);
    EXPECT_FALSE(window->btnApply->isEnabled());
}

// Without a line nothing is current; the settling time is read from the
// file, counts at once when changed and is kept for the next start.
TEST_P(MainWindowTest, SettlingTimeComesFromTheFileAndIsKeptWhenChanged) {
    WriteSettings("[Vapcal]\nSettlingMinutes=25\n");
    Open();
    app::TLiveDisplay& live = *window->LiveView;
    EXPECT_EQ(live.lblStability->text(), "Stability: cannot tell");
    EXPECT_EQ(live.lblDelivered->text(), "Delivered now: cannot tell");
    EXPECT_EQ(live.lblDelivered->toolTip(),
              "Delivered now: cannot tell (no current temperature, reservoir flow, dilution flow)");
    EXPECT_EQ(live.edtSettlingTime->value(), 25);
    EXPECT_EQ(live.Monitor.Stability().SettlingMs(), 25 * 60000);
    live.edtSettlingTime->setValue(3);
    EXPECT_EQ(live.Monitor.Stability().SettlingMs(), 3 * 60000);
    EXPECT_EQ(ReadSettings(), "[Vapcal]\nSettlingMinutes=3\n");
    EXPECT_TRUE(messages.empty());
}

// Saturator conditions no kit can have: the recalculation clears what they
// would give, and Apply names the field, focuses it, and saves nothing.
TEST_P(MainWindowTest, ApplyRefusesImpossibleSaturatorConditionsByName) {
    Open();
    Type(window->edtTemp, "45");
    QTest::keyClick(window->edtTemp, Qt::Key_Tab);
    window->TabSet1->setCurrentIndex(1);
    Type(window->edtPbar, "-1");
    QTest::keyClick(window->edtPbar, Qt::Key_Tab);
    EXPECT_EQ(window->edtDilutedOput->Text(), "");
    ASSERT_TRUE(window->btnApply->isEnabled());
    window->TabSet1->setCurrentIndex(0);
    QTest::mouseClick(window->btnApply, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(
        messages[0].Text,
        "Atmospheric pressure: the absolute pressure in the saturator must be above 0 in. Hg");
    EXPECT_TRUE(window->edtPbar->hasFocus());
    EXPECT_TRUE(window->pnlAdvanced->isVisible());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(settingsFile)));
}

// In manual-input mode the flow in the field is the one the back-calculation
// replaces: it is not held against the bounds; a refused back-calculation
// ends Apply, and nothing is saved.
TEST_P(MainWindowTest, ApplyInManualInputModeChecksTheComputedFlowOnly) {
    WriteSettings("[Vapcal]\nFlow=25\nAllowConcInput=1\n");
    Open();
    ASSERT_TRUE(window->cbxAllowInput->isChecked());
    QTest::keyClicks(window->edtDilutedOput, "10");
    QTest::keyClick(window->edtDilutedOput, Qt::Key_Return);
    EXPECT_EQ(window->edtFlow->Text(), L("1.5"));
    ASSERT_TRUE(window->btnApply->isEnabled());
    QTest::mouseClick(window->btnApply, Qt::LeftButton);
    EXPECT_TRUE(messages.empty()) << messages[0].Text;
    const std::string saved = ReadSettings();
    EXPECT_NE(saved.find("\nFlow=" + L("1.5") + "\n"), std::string::npos) << saved;

    window->edtDilutedOput->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(window->edtDilutedOput, "400");
    QTest::keyClick(window->edtDilutedOput, Qt::Key_Return);  // Apply takes it
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "The calculated Flow Value is above the acceptable limit of 20");
    EXPECT_EQ(ReadSettings(), saved);
}

// The accuracies come from the file to the Advanced page and go back with
// Apply; one that may not stand stops Apply by its key, and nothing is saved.
TEST_P(MainWindowTest, TheAdvancedPageEditsTheAccuraciesAndApplySavesThem) {
    WriteSettings("[Uncertainty]\nTempAccuracy=" + L("0.1") + "\n");
    Open();
    app::TUncertaintyView& u = *window->Uncertainty;
    ASSERT_EQ(u.edtAccuracies.size(), 8u);
    EXPECT_EQ(u.edtAccuracies[0]->Text(), L("0.1"));
    EXPECT_EQ(u.edtAccuracies[7]->Text(), "2");
    EXPECT_EQ(u.lblDilutedOputU->text().toStdString(), L("\u00B1 0.73 (k = 2)"));
    EXPECT_EQ(u.lblDilutedOputU->toolTip().toStdString(),
              L("Calculated 40.02 \u00B1 0.73 ng/l (k = 2)\nLargest contributions (ng/l): "
                "satConcEquation 0.20, reservoirFlow 0.19, temperature 0.18"));

    window->TabSet1->setCurrentIndex(1);
    Type(u.edtAccuracies[7], "3");
    QTest::keyClick(u.edtAccuracies[7], Qt::Key_Tab);
    EXPECT_EQ(u.lblDilutedOputU->text().toStdString(), L("\u00B1 1.1 (k = 3)"));
    EXPECT_EQ(window->LiveView->Monitor.Accuracies.CoverageFactor, 3);
    window->btnApply->setEnabled(true);
    QTest::mouseClick(window->btnApply, Qt::LeftButton);
    const std::string saved = ReadSettings();
    EXPECT_NE(
        saved.find("[Uncertainty]\nTempAccuracy=" + L("0.1") + "\nFlowReadingPercent=" + L("0.5")),
        std::string::npos)
        << saved;
    EXPECT_NE(saved.find("\nCoverageFactor=3\n"), std::string::npos) << saved;

    Type(u.edtAccuracies[4], "-0.5");
    QTest::keyClick(u.edtAccuracies[4], Qt::Key_Tab);
    EXPECT_EQ(u.lblDilutedOputU->text(), "");
    Type(window->edtTemp, "45");
    QTest::mouseClick(window->btnApply, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "DpAccuracy must not be negative");
    EXPECT_TRUE(u.edtAccuracies[4]->hasFocus());
    EXPECT_EQ(ReadSettings(), saved);
}

// The lab and its instruments come from the file to the Advanced page and go
// back with Apply; a due date that is no date stops Apply by its key.
TEST_P(MainWindowTest, TheAdvancedPageKeepsTheLabAndItsInstruments) {
    WriteSettings("[Laboratory]\nName=Hg Lab\n[Instrument.Barometer]\nDue=2027-01-15\n");
    Open();
    app::TLaboratoryView& lab = *window->Laboratory;
    EXPECT_EQ(lab.edtLabName->text(), "Hg Lab");
    EXPECT_EQ(lab.edtInstruments[3][4]->text(), "2027-01-15");
    EXPECT_EQ(lab.edtAccuracySource->text(), "defaults");

    window->TabSet1->setCurrentIndex(1);
    lab.edtInstruments[1][0]->setText("MFC-20L");
    lab.edtInstruments[1][4]->setText("2026-11-31");
    window->btnApply->setEnabled(true);
    QTest::mouseClick(window->btnApply, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "Instrument.DilutionFlow.Due must be a date as yyyy-mm-dd");
    EXPECT_TRUE(lab.edtInstruments[1][4]->hasFocus());
    EXPECT_EQ(ReadSettings().find("MFC-20L"), std::string::npos);

    lab.edtInstruments[1][4]->setText("2026-11-30");
    QTest::mouseClick(window->btnApply, Qt::LeftButton);
    EXPECT_NE(ReadSettings().find("[Instrument.DilutionFlow]\nModel=MFC-20L\nSerial=\n"
                                  "Certificate=\nCalibrated=\nDue=2026-11-30\n"),
              std::string::npos)
        << ReadSettings();
    const calc::TLaboratory saved = calc::ReadSettings(settingsFile).Laboratory;
    EXPECT_EQ(saved.Name, "Hg Lab");
    EXPECT_EQ(saved.Instruments[3].Due, "2027-01-15");
}

// The port dialog offers the gateway last typed; leaving it by Cancel keeps
// the file as it was.
TEST_P(MainWindowTest, ThePortDialogOffersTheGatewayKeptInTheFile) {
    WriteSettings("[Vapcal]\nNetworkPort=tcp://192.0.2.7:4001\n");
    window = std::make_unique<TfrmVapcalCalc>(settingsFile);
    std::string offered;
    window->ExecPortDialog = [&](app::TfrmComSelect& dialog) {
        offered = dialog.NetworkPort();
        dialog.SetNetworkPort("mbtcp://192.0.2.8");
        ++portDialogs;
        return app::mrCancel;
    };
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([this] { return portDialogs == 1; }));
    EXPECT_EQ(offered, "tcp://192.0.2.7:4001");
    EXPECT_EQ(ReadSettings(), "[Vapcal]\nNetworkPort=tcp://192.0.2.7:4001\n");
}

INSTANTIATE_TEST_SUITE_P(Separators, MainWindowTest, ::testing::Values('.', ','),
                         [](const auto& info) { return info.param == '.' ? "Point" : "Comma"; });

TEST(Skin, TheHueTintsALightQuietFace) {
    const QColor face = app::SkinFace(132);
    EXPECT_EQ(face.hue(), 132);
    EXPECT_LT(face.saturation(), 40);
    EXPECT_GT(face.value(), 220);
    EXPECT_EQ(app::SkinFace(132 + 360), face);
    EXPECT_EQ(app::SkinFace(-228), face);
}

// At a zero-gas point the reservoir-flow chart keeps the band the floor
// gives around zero: a few thousandths of a ml/min of noise do not fill it.
TEST(TrendPage, AZeroTargetKeepsTheStabilityFloorOnItsChart) {
    App();
    live::TKitMonitor monitor(600000, 1000);
    monitor.Targets = [] {
        live::TKitTargets t;
        t.TempSP = 40;
        t.FlowSP = 0;
        t.DilutionFlowSP = 10;
        return t;
    };
    qint64 now = 0;
    app::TTrendPage page(
        monitor.History(), monitor.Stability().Tolerances(), [&now] { return now; }, nullptr);
    const QDateTime start = QDateTime::currentDateTime();
    for (int i = 0; i < 5; ++i) {
        now = i * 1000;
        monitor.Completed(live::inReservoirFlow, true, 0.001 * (i % 2), now, start.addMSecs(now));
        monitor.Completed(live::inDilutionFlow, true, 10, now, start.addMSecs(now));
        monitor.Completed(live::inTemperature, true, 40, now, start.addMSecs(now));
    }
    page.show();
    const QValueAxis* axis = page.Charts[1].Value;
    EXPECT_LE(axis->min(), -live::kFlowToleranceFloor);
    EXPECT_GE(axis->max(), live::kFlowToleranceFloor);
}

}  // namespace
