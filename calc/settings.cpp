#include "calc/settings.h"

#include "platform/exepath.h"
#include "platform/inifile.h"
#include "platform/numtext.h"

#include <exception>

namespace calc {

namespace {

constexpr const char* kSettlingMinutesKey = "SettlingMinutes";

}  // namespace

std::string SettingsFilePath() {
    return platform::ExecutableDirectory() + kSettingsFileName;
}

TVapcalSettings ReadSettings(const std::string& fileName) {
    const platform::TIniFile ini(fileName);
    const auto text = [&](const char* key, long double defaultValue) {
        return ini.ReadString(kSettingsSection, key, DefaultText(defaultValue));
    };
    TVapcalSettings s;
    s.Temp = text("Temp", kDefaultTemp);
    s.Pbar = text("Pbar", kDefaultPbar);
    s.Dp = text("Dp", kDefaultDp);
    s.Flow = text("Flow", kDefaultFlow);
    s.RefTemp = text("RefTemp", kDefaultRefTemp);
    s.DilutionFlow = text("DilutionFlow", kDefaultDilutionFlow);
    s.AllowConcInput = ini.ReadBool(kSettingsSection, "AllowConcInput", false);
    s.LastDilutionFlowSP = ini.ReadFloat(kSettingsSection, "DilutionFlow", kDefaultDilutionFlow);
    s.LastFlowSP = ini.ReadFloat(kSettingsSection, "Flow", kDefaultFlow);
    s.LastTempSP = ini.ReadFloat(kSettingsSection, "Temp", kDefaultTemp);
    s.SkinHue = ini.ReadInteger(kSettingsSection, "SkinHue", kDefaultSkinHue);
    s.SettlingMinutes =
        ini.ReadInteger(kSettingsSection, kSettlingMinutesKey, kDefaultSettlingMinutes);
    if (s.SettlingMinutes < kMinSettlingMinutes || s.SettlingMinutes > kMaxSettlingMinutes)
        s.SettlingMinutes = kDefaultSettlingMinutes;
    return s;
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

}  // namespace calc
