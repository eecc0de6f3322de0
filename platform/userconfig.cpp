#include "platform/userconfig.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

namespace {

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    // A service or `runuser` may start the program without HOME.
    const passwd* account = getpwuid(getuid());
    if (account && account->pw_dir && account->pw_dir[0] == '/')
        return account->pw_dir;
    return {};
}

}  // namespace

std::string UserConfigDirectory() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome && configHome[0] == '/')
        return configHome;
    const std::string home = HomeDirectory();
    if (home.empty())
        return {};
    return home + (home.back() == '/' ? ".config" : "/.config");
}

bool FolderWritable(const std::string& folder) {
    // access() answers for the real user and sees a read-only mount.
    return access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace platform
