#include "calc/settings.h"
#include "calc/memorycalculator.h"
#include "platform/inifile.h"
#include "platform/numtext.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "scratchfile.h"

using namespace calc;
namespace fs = std::filesystem;

namespace {

class SettingsTest : public TScratchFileTest {
  protected:
    SettingsTest() : TScratchFileTest("vapcal-settings-", "Vapcal.ini") {}

    TMemoryCalculator w;
};

TEST_F(SettingsTest, NoFileGivesTheDefaultsAndCreatesNone) {
    const TVapcalSettings s = LoadSettings(path_, w.CalculatorFields(), w.Calculator);
    w.Start();
    EXPECT_EQ(w.edtTemp.Text(), "40");
    EXPECT_EQ(w.edtPbar.Text(), "29.96");
    EXPECT_EQ(w.edtDp.Text(), "0");
    EXPECT_EQ(w.edtFlow.Text(), "6");
    EXPECT_EQ(w.edtRefTemp.Text(), "20");
    EXPECT_EQ(w.edtDilutionFlow.Text(), "10");
    EXPECT_FALSE(w.Calculator.AllowConcInput);
    EXPECT_EQ(s.LastFlowSP, 6);
    EXPECT_EQ(s.LastDilutionFlowSP, 10);
    EXPECT_EQ(s.LastTempSP, 40);
    EXPECT_EQ(s.SkinHue, 132);
    EXPECT_EQ(s.SettlingMinutes, 10);
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(SettingsTest, SavingTheDefaultsWritesTheNineKeys) {
    w.Start();
    SaveSettings(path_, w.CalculatorFields(), false);
    EXPECT_EQ(Read(),
              "[Vapcal]\nTemp=40\nPbar=29.96\nDp=0\nFlow=6\nRefTemp=20\nDilutionFlow=10\n"
              "DilutedOput=40.02\nReservoirOput=6.25E+01\nAllowConcInput=0\n");
}

// The field never writes a thousands separator: a file written under
// either separator reads back as the same numbers under either.
TEST_F(SettingsTest, SavedInputsComeBackUnderEitherSeparator) {
    const auto use = [](char decimal) {
        platform::FormatSettings().DecimalSeparator = decimal;
        platform::FormatSettings().ThousandSeparator = decimal == ',' ? '.' : ',';
    };
    for (const char writer : {'.', ','}) {
        for (const char reader : {'.', ','}) {
            SCOPED_TRACE(std::string("written under ") + writer + ", read under " + reader);
            std::filesystem::remove(path_);
            use(writer);
            TMemoryCalculator saved;
            for (auto [field, text] : {std::pair{&saved.edtTemp, "45.5"},
                                       {&saved.edtPbar, "29.92"},
                                       {&saved.edtFlow, "6.5"},
                                       {&saved.edtDilutionFlow, "12.5"}}) {
                std::string local = text;
                std::replace(local.begin(), local.end(), '.', writer);
                field->SetText(local);
            }
            saved.Start();
            SaveSettings(path_, saved.CalculatorFields(), true);

            use(reader);
            TMemoryCalculator again;
            const TVapcalSettings s =
                LoadSettings(path_, again.CalculatorFields(), again.Calculator);
            const std::string sep(1, reader);
            EXPECT_EQ(again.edtTemp.Text(), "45" + sep + "5");
            EXPECT_EQ(again.edtPbar.Text(), "29" + sep + "92");
            EXPECT_EQ(again.edtFlow.Text(), "6" + sep + "5");
            EXPECT_EQ(again.edtDilutionFlow.Text(), "12" + sep + "5");
            EXPECT_EQ(s.LastTempSP, platform::StrToFloat("45" + sep + "5"));
            EXPECT_EQ(s.LastFlowSP, platform::StrToFloat("6" + sep + "5"));
            EXPECT_EQ(s.LastDilutionFlowSP, platform::StrToFloat("12" + sep + "5"));
            EXPECT_TRUE(s.UnreadableKeys.empty());
            EXPECT_TRUE(again.Calculator.AllowConcInput);
        }
    }
    platform::FormatSettings() = {};
}

TEST_F(SettingsTest, OtherSectionsKeysAndLinesSurviveASave) {
    Write(
        "; kit 7 in lab 2\r\n[Skin]\r\nName=Olive\r\n\r\n[vapcal]\r\nskinhue=$40\r\n"
        "TEMP=55\r\nOperator=jd\r\n\r\n[Last]\r\nx=1\r\n");
    const TVapcalSettings s = LoadSettings(path_, w.CalculatorFields(), w.Calculator);
    EXPECT_EQ(w.edtTemp.Text(), "55");
    EXPECT_EQ(s.SkinHue, 64);
    w.Start();
    SaveSettings(path_, w.CalculatorFields(), false);
    EXPECT_EQ(Read(),
              "; kit 7 in lab 2\r\n[Skin]\r\nName=Olive\r\n\r\n[vapcal]\r\nskinhue=$40\r\n"
              "TEMP=55\r\nOperator=jd\r\nPbar=29.96\r\nDp=0\r\nFlow=6\r\nRefTemp=20\r\n"
              "DilutionFlow=10\r\nDilutedOput=118.77\r\nReservoirOput=1.77E+02\r\n"
              "AllowConcInput=0\r\n\r\n[Last]\r\nx=1\r\n");
}

TEST_F(SettingsTest, AnUnreadableValueTakesItsDefaultAndIsNamed) {
    Write("[Vapcal]\nTemp=45\nPbar=\nFlow=six\nDp=1.2.3\nDilutionFlow=12\nAllowConcInput=0x1\n");
    const TVapcalSettings s = ReadSettings(path_);
    EXPECT_EQ(s.Flow, "6");
    EXPECT_EQ(s.LastFlowSP, 6);
    EXPECT_EQ(s.Pbar, "29.96");
    EXPECT_EQ(s.Dp, "0");
    EXPECT_EQ(s.LastDilutionFlowSP, 12);
    EXPECT_EQ(s.LastTempSP, 45);
    EXPECT_TRUE(s.AllowConcInput);
    EXPECT_EQ(UnreadableSettingsMessage(s),
              "These settings in Vapcal.ini could not be read and take their defaults: Pbar, Dp, "
              "Flow");
    EXPECT_NO_THROW(LoadSettingsTexts(s, w.CalculatorFields()));
    EXPECT_EQ(w.edtFlow.Text(), "6");
    EXPECT_EQ(w.edtDilutionFlow.Text(), "12");
    EXPECT_EQ(UnreadableSettingsMessage(ReadSettings(path_ + ".missing")), "");
}

TEST_F(SettingsTest, BooleanAndNumberReadsFallBackOnBadText) {
    const struct {
        const char* Stored;
        bool Allow;
    } cases[] = {{"1", true},    {"0", false}, {"$0", false}, {"0X10", true},
                 {"yes", false}, {"", false},  {"-1", true}};
    for (const auto& c : cases) {
        Write(std::string("[Vapcal]\nAllowConcInput=") + c.Stored + "\nTemp=\nSkinHue=hue\n");
        const TVapcalSettings s = ReadSettings(path_);
        EXPECT_EQ(s.AllowConcInput, c.Allow) << c.Stored;
        EXPECT_EQ(s.LastTempSP, 40);
        EXPECT_EQ(s.SkinHue, 132);
    }
}

TEST_F(SettingsTest, SettlingTimeIsKeptBesideTheOtherKeysAndOutOfRangeGivesTheDefault) {
    Write("[Vapcal]\nTemp=45\n");
    SaveSettlingMinutes(path_, 25);
    EXPECT_EQ(Read(), "[Vapcal]\nTemp=45\nSettlingMinutes=25\n");
    EXPECT_EQ(ReadSettings(path_).SettlingMinutes, 25);
    for (const char* stored : {"0", "481", "-5", "ten", ""}) {
        Write(std::string("[Vapcal]\nSettlingMinutes=") + stored + "\n");
        EXPECT_EQ(ReadSettings(path_).SettlingMinutes, 10) << stored;
    }
}

TEST_F(SettingsTest, TheNetworkGatewayIsKeptBesideTheOtherKeys) {
    EXPECT_EQ(ReadSettings(path_).NetworkPort, "");
    Write("[Vapcal]\nTemp=45\n");
    SaveNetworkPort(path_, "mbtcp://192.0.2.7:502");
    EXPECT_EQ(Read(), "[Vapcal]\nTemp=45\nNetworkPort=mbtcp://192.0.2.7:502\n");
    EXPECT_EQ(ReadSettings(path_).NetworkPort, "mbtcp://192.0.2.7:502");
    SaveNetworkPort(path_, "");
    EXPECT_EQ(ReadSettings(path_).NetworkPort, "");
}

// A file from before the section has the defaults; what the Advanced page
// saves comes back, and a value that may not stand is named and takes its
// default, as an unreadable input does.
TEST_F(SettingsTest, TheUncertaintySectionKeepsTheAccuraciesAndRefusesNegatives) {
    const TAccuracies defaults = ReadSettings(path_).Accuracies;
    EXPECT_EQ(defaults.TempAccuracy, 0.2L);
    EXPECT_EQ(defaults.FlowReadingPercent, 0.5L);
    EXPECT_EQ(defaults.FlowFullScalePercent, 0.1L);
    EXPECT_EQ(defaults.PbarAccuracy, 0.03L);
    EXPECT_EQ(defaults.DpAccuracy, 0.05L);
    EXPECT_EQ(defaults.RefTempAccuracy, 0);
    EXPECT_EQ(defaults.SatConcPercent, 0.5L);
    EXPECT_EQ(defaults.CoverageFactor, 2);

    TAccuracies lab;
    lab.TempAccuracy = 0.1L;
    lab.CoverageFactor = 2.5L;
    SaveAccuracies(path_, lab);
    EXPECT_NE(Read().find("[Uncertainty]\nTempAccuracy=0.1\nFlowReadingPercent=0.5\n"),
              std::string::npos);
    const TVapcalSettings back = ReadSettings(path_);
    EXPECT_EQ(back.Accuracies.TempAccuracy, 0.1L);
    EXPECT_EQ(back.Accuracies.CoverageFactor, 2.5L);
    EXPECT_TRUE(back.UnreadableKeys.empty());

    Write("[Uncertainty]\nTempAccuracy=-0.1\nDpAccuracy=x\nCoverageFactor=0\nPbarAccuracy=0\n");
    const TVapcalSettings refused = ReadSettings(path_);
    EXPECT_EQ(refused.Accuracies.TempAccuracy, 0.2L);
    EXPECT_EQ(refused.Accuracies.CoverageFactor, 2);
    EXPECT_EQ(refused.Accuracies.PbarAccuracy, 0);
    EXPECT_EQ(refused.UnreadableKeys,
              (std::vector<std::string>{"TempAccuracy", "DpAccuracy", "CoverageFactor"}));

    lab.FlowFullScalePercent = -1;
    EXPECT_THROW(
        {
            try {
                SaveAccuracies(path_, lab);
            } catch (const std::invalid_argument& e) {
                EXPECT_STREQ(e.what(), "FlowFullScalePercent must not be negative");
                throw;
            }
        },
        std::invalid_argument);
}

// The lab, its instruments and where the accuracies come from are kept as
// the Advanced page saves them; a date that is no date is named, never
// taken, and an instrument is past due only from the day after its due date.
TEST_F(SettingsTest, TheLabAndItsInstrumentsComeBackAndPastDueOnesAreNamed) {
    EXPECT_EQ(ReadSettings(path_).Laboratory.AccuracySource, "defaults");
    EXPECT_EQ(ReadSettings(path_).Laboratory.ReportPrefix, "VAPCAL");

    TLaboratory lab;
    lab.Name = "Hg Lab";
    lab.Accreditation = "DAkkS D-K-12345";
    lab.ReportPrefix = "HGL";
    lab.AccuracySource = "certificates 2026-114/115";
    lab.Instruments[1] = {"MFC 20", "D-881", "C-2026-77", "2025-11-30", "2026-11-30"};
    lab.Instruments[3] = {"Baro 5", "B-2", "C-1", "2026-01-10", "2027-01-10"};
    SaveLaboratory(path_, lab);
    EXPECT_NE(Read().find("[Instrument.DilutionFlow]\nModel=MFC 20\nSerial=D-881\n"),
              std::string::npos);
    const TLaboratory back = ReadSettings(path_).Laboratory;
    EXPECT_EQ(back.Name, "Hg Lab");
    EXPECT_EQ(back.ReportPrefix, "HGL");
    EXPECT_EQ(back.AccuracySource, "certificates 2026-114/115");
    EXPECT_EQ(back.Instruments[1].Due, "2026-11-30");
    EXPECT_EQ(back.Instruments[3].Certificate, "C-1");

    EXPECT_TRUE(InstrumentsPastDue(back, "2026-11-30").empty());
    EXPECT_EQ(InstrumentsPastDue(back, "2026-12-01"),
              (std::vector<std::string>{"The dilution flow controller (MFC 20, serial D-881) is "
                                        "past its calibration due date 2026-11-30"}));

    Write("[Instrument.Barometer]\nDue=2027-02-30\nCalibrated=yesterday\n");
    const TVapcalSettings refused = ReadSettings(path_);
    EXPECT_EQ(refused.UnreadableKeys, (std::vector<std::string>{"Instrument.Barometer.Calibrated",
                                                                "Instrument.Barometer.Due"}));
    EXPECT_EQ(refused.Laboratory.Instruments[3].Due, "");
    lab.Instruments[0].Due = "31.12.2026";
    EXPECT_THROW(SaveLaboratory(path_, lab), std::invalid_argument);
    EXPECT_EQ(Read(), "[Instrument.Barometer]\nDue=2027-02-30\nCalibrated=yesterday\n");
}

TEST_F(SettingsTest, ARefusedWriteNamesTheFile) {
    const std::string inside = folder_ / "missing" / "Vapcal.ini";
    w.Start();
    try {
        SaveSettings(inside, w.CalculatorFields(), false);
        FAIL() << "the save went through";
    } catch (const platform::EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + inside);
    }
}

}  // namespace
