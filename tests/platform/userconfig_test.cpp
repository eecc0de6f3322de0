// The folder where a program run by an ordinary account keeps its settings.
#include "platform/userconfig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

TEST(UserConfigDirectory, FollowsXdgConfigHomeAndFallsBackToTheHomeFolder) {
    const auto saved = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto savedHome = saved("HOME"), savedConfig = saved("XDG_CONFIG_HOME");
    const struct {
        const char* Home;
        const char* ConfigHome;  // nullptr: unset
        const char* Expected;
    } cases[] = {
        {"/home/op", "/srv/op-config", "/srv/op-config"},
        {"/home/op", nullptr, "/home/op/.config"},
        {"/home/op", "", "/home/op/.config"},
        {"/home/op/", "relative/config", "/home/op/.config"},
    };
    for (const auto& c : cases) {
        setenv("HOME", c.Home, 1);
        if (c.ConfigHome)
            setenv("XDG_CONFIG_HOME", c.ConfigHome, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(platform::UserConfigDirectory(), c.Expected)
            << c.Home << " " << (c.ConfigHome ? c.ConfigHome : "(unset)");
    }
    const auto restore = [](const char* name, const std::optional<std::string>& value) {
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    };
    restore("HOME", savedHome);
    restore("XDG_CONFIG_HOME", savedConfig);
}

}  // namespace
