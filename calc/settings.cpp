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

}  // namespace

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

void SaveNetworkPort(const std::string& fileName, const std::string& port) {
    platform::TIniFile ini(fileName);
    ini.WriteString(kSettingsSection, kNetworkPortKey, port);
}

}  // namespace calc
