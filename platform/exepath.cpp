#include "platform/exepath.h"

#include <filesystem>
#include <system_error>

namespace platform {

std::string ExecutableDirectory() {
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !exe.has_parent_path())
        return "./";
    std::string folder = exe.parent_path().string();
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

}  // namespace platform
