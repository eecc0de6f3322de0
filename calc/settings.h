// The settings file Vapcal.ini (calc/settingslocation.h says where): the last applied
// inputs, the manual-input mode, and so the set points last sent to the
// instruments. Read once when the window is created, written only by Apply.
#pragma once

#include "calc/calculator.h"
#include "calc/uncertainty.h"

#include <string>
#include <vector>

namespace calc {

inline constexpr const char* kSettingsFileName = "Vapcal.ini";
inline constexpr const char* kSettingsSection = "Vapcal";
inline constexpr int kDefaultSkinHue = 132;
// How long the kit's readings must stay in tolerance before it counts as
// stable, in whole minutes; files written before the key existed lack it.
inline constexpr int kDefaultSettlingMinutes = 10;
inline constexpr int kMinSettlingMinutes = 1;
inline constexpr int kMaxSettlingMinutes = 480;

// The lab that issues the report and its reference instruments, each with
// its calibration status ([Laboratory], [Instrument.*]). Dates are ISO
// (2026-03-31); an empty text is "not given".
inline constexpr const char* kLaboratorySection = "Laboratory";
inline constexpr const char* kAccuracySourceKey = "AccuracySource";
inline constexpr const char* kAccuracyDefaults = "defaults";

struct TInstrument {
    std::string Model;
    std::string Serial;
    std::string Certificate;
    std::string Calibrated;
    std::string Due;
};

// The instruments in the order the settings, the Advanced page and the
// report list them: the section and what the report calls it.
struct TInstrumentRole {
    const char* Section;
    const char* Role;
};
inline constexpr TInstrumentRole kInstrumentRoles[] = {
    {"Instrument.ReservoirFlow", "reservoir flow controller"},
    {"Instrument.DilutionFlow", "dilution flow controller"},
    {"Instrument.Temperature", "temperature controller with its sensor"},
    {"Instrument.Barometer", "barometer"},
};
inline constexpr int kInstrumentCount = 4;

struct TLaboratory {
    std::string Name;
    std::string Address;
    std::string Accreditation;
    // The report number's prefix: <prefix>-<year>-<nnnn>.
    std::string ReportPrefix = "VAPCAL";
    TInstrument Instruments[kInstrumentCount];
    // Where the accuracies of [Uncertainty] come from: "defaults" (the data
    // sheets') or a certificate reference.
    std::string AccuracySource = kAccuracyDefaults;
};

// Whether `text` is an ISO calendar date (yyyy-mm-dd) that exists.
bool IsIsoDate(const std::string& text);

// The instruments whose due date lies before `date` (ISO), as the warning
// the operator and the report give, one text each.
std::vector<std::string> InstrumentsPastDue(const TLaboratory& lab, const std::string& date);

// What a start-up reads from the file; a missing or unreadable file, a
// missing key or a value that does not convert gives the default. A number
// written under the other decimal separator (45,5 read under ".") is read
// as that decimal.
struct TVapcalSettings {
    // Input texts, given to the fields (with the operator's separator).
    std::string Temp;
    std::string Pbar;
    std::string Dp;
    std::string Flow;
    std::string RefTemp;
    std::string DilutionFlow;
    bool AllowConcInput = false;
    // Set points last known to be in the instruments.
    long double LastDilutionFlowSP = kDefaultDilutionFlow;
    long double LastFlowSP = kDefaultFlow;
    long double LastTempSP = kDefaultTemp;
    int SkinHue = kDefaultSkinHue;
    // Input keys the file holds but whose value no field can read (empty or
    // not a number), and accuracies it holds that may not stand (a negative
    // accuracy, a coverage factor of 0 or less): they took their defaults.
    std::vector<std::string> UnreadableKeys;
    // The Uncertainty section; files written before it existed lack it, and
    // every key missing there takes its default.
    TAccuracies Accuracies;
    // Missing, unreadable or outside 1..480: the default.
    int SettlingMinutes = kDefaultSettlingMinutes;
    // The network gateway last typed in the port dialog; empty for a serial
    // port.
    std::string NetworkPort;
    // A date that is not an ISO date is named among UnreadableKeys
    // ("Instrument.Barometer.Due") and left empty.
    TLaboratory Laboratory;
};

TVapcalSettings ReadSettings(const std::string& fileName);

// What the window tells the operator about UnreadableKeys; empty when every
// key was read.
std::string UnreadableSettingsMessage(const TVapcalSettings& settings);

// Gives the six input texts to their fields in the file's order (Temp, Pbar,
// Dp, Flow, RefTemp, DilutionFlow). Every field gets its text even when an
// earlier one does not convert; the first conversion error is raised after
// the last text was given, so the operator sees it and nothing is lost.
void LoadSettingsTexts(const TVapcalSettings& settings, const TCalculatorFields& fields);

// The whole start-up read: the texts into the fields and AllowConcInput into
// the calculator; returns the settings for the set points and the skin hue.
// A conversion error of a field text is raised after everything is loaded;
// the caller that wants the set points anyway uses the two steps above.
TVapcalSettings LoadSettings(const std::string& fileName, const TCalculatorFields& fields,
                             TCalculator& calculator);

// Writes the nine keys in Apply's order: Temp, Pbar, Dp, Flow, RefTemp,
// DilutionFlow, DilutedOput, ReservoirOput, AllowConcInput. Each key is one
// whole-file replacement; a refused write raises platform::EIniFileError
// "Unable to write to <path>" and ends the save at that key.
void SaveSettings(const std::string& fileName, const TCalculatorFields& fields,
                  bool allowConcInput);

// Writes the settling time, the one key the Advanced page keeps as soon as
// the operator changes it; a refused write raises as SaveSettings does.
void SaveSettlingMinutes(const std::string& fileName, int minutes);

// Writes the eight keys of the Uncertainty section in the order of
// kAccuracyKeys, each as the general number text with the operator's
// separator; a refused write raises as SaveSettings does. Accuracies that
// may not stand raise std::invalid_argument naming the key, before anything
// is written.
void SaveAccuracies(const std::string& fileName, const TAccuracies& accuracies);

// Writes the [Laboratory] keys, AccuracySource and the five keys of each
// instrument. A date that is neither empty nor an ISO date raises
// std::invalid_argument naming the key, before anything is written; a
// refused write raises as SaveSettings does.
void SaveLaboratory(const std::string& fileName, const TLaboratory& lab);

// Writes the network gateway the port dialog was left with (empty: none);
// a refused write raises as SaveSettings does.
void SaveNetworkPort(const std::string& fileName, const std::string& port);

}  // namespace calc
