// Where the running program lives: the settings file sits beside it.
#pragma once

#include <string>

namespace platform {

// The folder of the running executable with its trailing separator
// ("/opt/vapcal/bin/"), from /proc/self/exe; "./" when it cannot be found.
std::string ExecutableDirectory();

}  // namespace platform
