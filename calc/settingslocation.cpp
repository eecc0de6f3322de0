#include "calc/settingslocation.h"

#include "calc/settings.h"
#include "platform/exepath.h"
#include "platform/userconfig.h"

#include <filesystem>
#include <system_error>

namespace calc {

std::string ChooseSettingsFile(const std::string& exeFolder, const std::string& configFolder) {
    const std::string beside = exeFolder + kSettingsFileName;
    std::error_code error;
    if (std::filesystem::exists(beside, error) || platform::FolderWritable(exeFolder))
        return beside;
    // Without a home folder there is nowhere else: the save names the file
    // beside the executable that it could not write.
    if (configFolder.empty())
        return beside;
    const std::string folder = configFolder + "/vapcal/";
    std::filesystem::create_directories(folder, error);
    return folder + kSettingsFileName;
}

std::string SettingsFilePath() {
    return ChooseSettingsFile(platform::ExecutableDirectory(), platform::UserConfigDirectory());
}

}  // namespace calc
