// Where a program run by an ordinary user account keeps its own files, and
// whether it may write a given folder.
#pragma once

#include <string>

namespace platform {

// The user's configuration folder, without a trailing separator:
// $XDG_CONFIG_HOME when it holds an absolute path (a relative one is
// ignored, as the desktop's base-directory rules ask), otherwise ".config" in
// the home folder ($HOME, else the account's home from the password
// database). Empty when no home folder is known at all.
std::string UserConfigDirectory();

// Whether the running user may create, replace and rename files in `folder`
// (write and search permission, and a file system that is not read-only).
bool FolderWritable(const std::string& folder);

}  // namespace platform
