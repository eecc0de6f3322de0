// Where Vapcal.ini lives. A portable copy of the console keeps its settings
// beside the executable, as it always did; an installed console, whose
// folder (/usr/bin) an operator's account cannot write, keeps them in the
// operator's own configuration folder. The file's format is the same in both.
#pragma once

#include <string>

namespace calc {

// The settings file of a program in `exeFolder` (with its trailing
// separator): Vapcal.ini beside it when that file exists or the folder is
// writable; otherwise <configFolder>/vapcal/Vapcal.ini, whose folder is
// created (with its parents) here so that the first Apply can write the
// file. A folder that cannot be created is left to the save, which then
// names the file it could not write.
std::string ChooseSettingsFile(const std::string& exeFolder, const std::string& configFolder);

// The settings file of the running program, chosen as above between its own
// folder and the user's configuration folder ($XDG_CONFIG_HOME, by default
// ~/.config).
std::string SettingsFilePath();

}  // namespace calc
