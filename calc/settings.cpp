#include "calc/settings.h"

#include "calc/messages.h"
#include "platform/inifile.h"
#include "platform/numtext.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <vector>

namespace calc {

namespace {

constexpr const char* kSettlingMinutesKey = "SettlingMinutes";
constexpr const char* kNetworkPortKey = "NetworkPort";

// A number as the file holds it, with the operator's separator. A file
// written under the other decimal separator holds that one and none of
// ours; the field never writes a thousands separator, so it is the decimal.
std::string WithOurSeparator(std::string text) {
    const char ours = platform::FormatSettings().DecimalSeparator;
    const char other = ours == ',' ? '.' : ',';
    if (text.find(ours) == std::string::npos && std::count(text.begin(), text.end(), other) == 1)
        std::replace(text.begin(), text.end(), other, ours);
    return text;
}

// One input key: its text for the field and its number, or the default for
// both when the file holds nothing the field can read.
struct TNumberKey {
    const char* Key;
    long double Default;
    std::string& Text;
    long double* Number;
};

void ReadNumberKey(const platform::TIniFile& ini, const TNumberKey& key,
                   std::vector<std::string>& unreadable) {
    const std::string missing = "\n";  // no value of the file holds a line end
    const std::string stored = ini.ReadString(kSettingsSection, key.Key, missing);
    if (stored != missing) {
        const std::string text = WithOurSeparator(stored);
        try {
            const long double value = platform::FieldTextToFloat(text);
            if (!text.empty()) {
                key.Text = text;
                if (key.Number)
                    *key.Number = value;
                return;
            }
        } catch (const platform::EConvertError&) {
        }
        unreadable.push_back(key.Key);
    }
    key.Text = DefaultText(key.Default);
    if (key.Number)
        *key.Number = key.Default;
}

// One accuracy of the Uncertainty section, read as the input keys are read;
// a value that may not stand is named as an unreadable one is.
void ReadAccuracyKey(const platform::TIniFile& ini, const TAccuracyKey& key,
                     TAccuracies& accuracies, std::vector<std::string>& unreadable) {
    const std::string missing = "\n";
    const std::string stored = ini.ReadString(kUncertaintySection, key.Key, missing);
    if (stored == missing)
        return;
    const std::string text = WithOurSeparator(stored);
    try {
        const long double value = platform::FieldTextToFloat(text);
        if (!text.empty() && AccuracyError(key, value).empty()) {
            accuracies.*key.Member = value;
            return;
        }
    } catch (const platform::EConvertError&) {
    }
    unreadable.push_back(key.Key);
}

struct TInstrumentKey {
    const char* Key;
    std::string TInstrument::*Member;
    bool Date;
};
constexpr TInstrumentKey kInstrumentKeys[] = {
    {"Model", &TInstrument::Model, false},
    {"Serial", &TInstrument::Serial, false},
    {"Certificate", &TInstrument::Certificate, false},
    {"Calibrated", &TInstrument::Calibrated, true},
    {"Due", &TInstrument::Due, true},
};

struct TLaboratoryKey {
    const char* Key;
    std::string TLaboratory::*Member;
};
constexpr TLaboratoryKey kLaboratoryKeys[] = {
    {"Name", &TLaboratory::Name},
    {"Address", &TLaboratory::Address},
    {"Accreditation", &TLaboratory::Accreditation},
    {"ReportPrefix", &TLaboratory::ReportPrefix},
};

std::string Filled(const char* pattern, const std::vector<std::string>& values) {
    std::string text = pattern;
    size_t at = 0;
    for (const std::string& value : values) {
        at = text.find("%s", at);
        if (at == std::string::npos)
            break;
        text.replace(at, 2, value);
        at += value.size();
    }
    return text;
}

void ReadLaboratory(const platform::TIniFile& ini, TLaboratory& lab,
                    std::vector<std::string>& unreadable) {
    for (const TLaboratoryKey& key : kLaboratoryKeys)
        lab.*key.Member = ini.ReadString(kLaboratorySection, key.Key, lab.*key.Member);
    if (lab.ReportPrefix.empty())
        lab.ReportPrefix = TLaboratory().ReportPrefix;
    lab.AccuracySource = ini.ReadString(kUncertaintySection, kAccuracySourceKey, kAccuracyDefaults);
    if (lab.AccuracySource.empty())
        lab.AccuracySource = kAccuracyDefaults;
    for (int i = 0; i < kInstrumentCount; ++i) {
        for (const TInstrumentKey& key : kInstrumentKeys) {
            const std::string value = ini.ReadString(kInstrumentRoles[i].Section, key.Key, "");
            if (key.Date && !value.empty() && !IsIsoDate(value)) {
                unreadable.push_back(std::string(kInstrumentRoles[i].Section) + "." + key.Key);
                continue;
            }
            lab.Instruments[i].*key.Member = value;
        }
    }
}

}  // namespace

bool IsIsoDate(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return false;
    for (const int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9')
            return false;
    const int year = std::stoi(text.substr(0, 4)), month = std::stoi(text.substr(5, 2)),
              day = std::stoi(text.substr(8, 2));
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1];
}

std::vector<std::string> InstrumentsPastDue(const TLaboratory& lab, const std::string& date) {
    std::vector<std::string> warnings;
    for (int i = 0; i < kInstrumentCount; ++i) {
        const TInstrument& instrument = lab.Instruments[i];
        // ISO dates order as their texts do.
        if (!IsIsoDate(instrument.Due) || instrument.Due >= date)
            continue;
        std::string name = instrument.Model;
        if (!instrument.Serial.empty())
            name += (name.empty() ? "serial " : ", serial ") + instrument.Serial;
        warnings.push_back(
            Filled(kInstrumentPastDue,
                   {kInstrumentRoles[i].Role, name.empty() ? "unnamed" : name, instrument.Due}));
    }
    return warnings;
}

TVapcalSettings ReadSettings(const std::string& fileName) {
    const platform::TIniFile ini(fileName);
    TVapcalSettings s;
    const TNumberKey keys[] = {
        {"Temp", kDefaultTemp, s.Temp, &s.LastTempSP},
        {"Pbar", kDefaultPbar, s.Pbar, nullptr},
        {"Dp", kDefaultDp, s.Dp, nullptr},
        {"Flow", kDefaultFlow, s.Flow, &s.LastFlowSP},
        {"RefTemp", kDefaultRefTemp, s.RefTemp, nullptr},
        {"DilutionFlow", kDefaultDilutionFlow, s.DilutionFlow, &s.LastDilutionFlowSP},
    };
    for (const TNumberKey& key : keys)
        ReadNumberKey(ini, key, s.UnreadableKeys);
    s.AllowConcInput = ini.ReadBool(kSettingsSection, "AllowConcInput", false);
    s.SkinHue = ini.ReadInteger(kSettingsSection, "SkinHue", kDefaultSkinHue);
    s.SettlingMinutes =
        ini.ReadInteger(kSettingsSection, kSettlingMinutesKey, kDefaultSettlingMinutes);
    if (s.SettlingMinutes < kMinSettlingMinutes || s.SettlingMinutes > kMaxSettlingMinutes)
        s.SettlingMinutes = kDefaultSettlingMinutes;
    s.NetworkPort = ini.ReadString(kSettingsSection, kNetworkPortKey, "");
    for (const TAccuracyKey& key : kAccuracyKeys)
        ReadAccuracyKey(ini, key, s.Accuracies, s.UnreadableKeys);
    ReadLaboratory(ini, s.Laboratory, s.UnreadableKeys);
    return s;
}

std::string UnreadableSettingsMessage(const TVapcalSettings& settings) {
    if (settings.UnreadableKeys.empty())
        return {};
    std::string keys;
    for (const auto& key : settings.UnreadableKeys)
        keys += (keys.empty() ? "" : ", ") + key;
    std::string text = kUnreadableSettings;
    return text.replace(text.find("%s"), 2, keys);
}

void LoadSettingsTexts(const TVapcalSettings& settings, const TCalculatorFields& fields) {
    std::exception_ptr firstError;
    const auto give = [&](TCalcField& field, const std::string& text) {
        try {
            field.SetText(text);
        } catch (const platform::EConvertError&) {
            if (!firstError)
                firstError = std::current_exception();
        }
    };
    give(fields.edtTemp, settings.Temp);
    give(fields.edtPbar, settings.Pbar);
    give(fields.edtDp, settings.Dp);
    give(fields.edtFlow, settings.Flow);
    give(fields.edtRefTemp, settings.RefTemp);
    give(fields.edtDilutionFlow, settings.DilutionFlow);
    if (firstError)
        std::rethrow_exception(firstError);
}

TVapcalSettings LoadSettings(const std::string& fileName, const TCalculatorFields& fields,
                             TCalculator& calculator) {
    const TVapcalSettings settings = ReadSettings(fileName);
    calculator.AllowConcInput = settings.AllowConcInput;
    LoadSettingsTexts(settings, fields);
    return settings;
}

void SaveSettings(const std::string& fileName, const TCalculatorFields& fields,
                  bool allowConcInput) {
    platform::TIniFile ini(fileName);
    ini.WriteString(kSettingsSection, "Temp", fields.edtTemp.Text());
    ini.WriteString(kSettingsSection, "Pbar", fields.edtPbar.Text());
    ini.WriteString(kSettingsSection, "Dp", fields.edtDp.Text());
    ini.WriteString(kSettingsSection, "Flow", fields.edtFlow.Text());
    ini.WriteString(kSettingsSection, "RefTemp", fields.edtRefTemp.Text());
    ini.WriteString(kSettingsSection, "DilutionFlow", fields.edtDilutionFlow.Text());
    ini.WriteString(kSettingsSection, "DilutedOput", fields.edtDilutedOput.Text());
    ini.WriteString(kSettingsSection, "ReservoirOput", fields.edtSatConc.Text());
    ini.WriteBool(kSettingsSection, "AllowConcInput", allowConcInput);
}

void SaveSettlingMinutes(const std::string& fileName, int minutes) {
    platform::TIniFile ini(fileName);
    ini.WriteString(kSettingsSection, kSettlingMinutesKey, std::to_string(minutes));
}

void SaveAccuracies(const std::string& fileName, const TAccuracies& accuracies) {
    if (const std::string error = AccuraciesError(accuracies); !error.empty())
        throw std::invalid_argument(error);
    platform::TIniFile ini(fileName);
    for (const TAccuracyKey& key : kAccuracyKeys)
        ini.WriteString(kUncertaintySection, key.Key,
                        platform::FloatToStrGeneral(accuracies.*key.Member));
}

void SaveLaboratory(const std::string& fileName, const TLaboratory& lab) {
    for (int i = 0; i < kInstrumentCount; ++i)
        for (const TInstrumentKey& key : kInstrumentKeys) {
            const std::string& value = lab.Instruments[i].*key.Member;
            if (key.Date && !value.empty() && !IsIsoDate(value))
                throw std::invalid_argument(Filled(
                    kNotIsoDate, {std::string(kInstrumentRoles[i].Section) + "." + key.Key}));
        }
    platform::TIniFile ini(fileName);
    for (const TLaboratoryKey& key : kLaboratoryKeys)
        ini.WriteString(kLaboratorySection, key.Key, lab.*key.Member);
    ini.WriteString(kUncertaintySection, kAccuracySourceKey,
                    lab.AccuracySource.empty() ? kAccuracyDefaults : lab.AccuracySource);
    for (int i = 0; i < kInstrumentCount; ++i)
        for (const TInstrumentKey& key : kInstrumentKeys)
            ini.WriteString(kInstrumentRoles[i].Section, key.Key, lab.Instruments[i].*key.Member);
}

void SaveNetworkPort(const std::string& fileName, const std::string& port) {
    platform::TIniFile ini(fileName);
    ini.WriteString(kSettingsSection, kNetworkPortKey, port);
}

}  // namespace calc
