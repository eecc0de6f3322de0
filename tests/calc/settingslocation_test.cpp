// Where the console keeps Vapcal.ini: beside a portable copy, in the
// operator's configuration folder for an installed one. A folder that root
// may not write does not exist, so the read-only cases run in ctest's
// settings_location_as_nobody.
#include "calc/settingslocation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using calc::ChooseSettingsFile;

constexpr const char* kAsRoot =
    "root may write any folder; ctest's settings_location_as_nobody runs this as an "
    "ordinary account";

class SettingsLocationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("vapcal-location-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(root_ / "bin");
        exeFolder_ = (root_ / "bin").string() + "/";
        configFolder_ = (root_ / "config").string();
    }
    void TearDown() override {
        fs::permissions(root_ / "bin", fs::perms::owner_all);
        fs::remove_all(root_);
    }

    // False for root, which may write any folder whatever its permissions.
    bool MakeProgramFolderReadOnly() {
        if (geteuid() == 0)
            return false;
        fs::permissions(root_ / "bin", fs::perms::owner_read | fs::perms::owner_exec);
        return true;
    }

    fs::path root_;
    std::string exeFolder_;
    std::string configFolder_;
};

TEST_F(SettingsLocationTest, AWritableProgramFolderKeepsTheFileBesideTheProgram) {
    EXPECT_EQ(ChooseSettingsFile(exeFolder_, configFolder_), exeFolder_ + "Vapcal.ini");
    EXPECT_FALSE(fs::exists(configFolder_));
}

TEST_F(SettingsLocationTest, AReadOnlyProgramFolderUsesTheUsersConfigurationFolder) {
    if (!MakeProgramFolderReadOnly())
        GTEST_SKIP() << kAsRoot;
    EXPECT_EQ(ChooseSettingsFile(exeFolder_, configFolder_), configFolder_ + "/vapcal/Vapcal.ini");
    EXPECT_TRUE(fs::is_directory(configFolder_ + "/vapcal"));
}

TEST_F(SettingsLocationTest, APortableFileBesideTheProgramIsKeptInAReadOnlyFolder) {
    std::ofstream(exeFolder_ + "Vapcal.ini") << "[Vapcal]\nTemp=45\n";
    if (!MakeProgramFolderReadOnly())
        GTEST_SKIP() << kAsRoot;
    EXPECT_EQ(ChooseSettingsFile(exeFolder_, configFolder_), exeFolder_ + "Vapcal.ini");
    EXPECT_FALSE(fs::exists(configFolder_));
}

}  // namespace
