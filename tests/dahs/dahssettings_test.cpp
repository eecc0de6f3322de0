// The plant's server settings: where it listens, which peers it accepts, and
// which file a plan number names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "dahs/dahssettings.h"

using namespace dahs;

namespace {

TEST(DahsSettings, ListenAddressesAndTheirMistakes) {
    const auto local = ParseDahsListen("mbtcp://:5020");
    EXPECT_EQ(local.Host, "127.0.0.1");
    EXPECT_EQ(local.Port, 5020);
    const auto named = ParseDahsListen("mbtcp://192.0.2.7");
    EXPECT_EQ(named.Host, "192.0.2.7");
    EXPECT_EQ(named.Port, 502);
    EXPECT_EQ(ParseDahsListen("mbtcp://[::1]:1502").Host, "::1");
    for (const char* bad :
         {"tcp://127.0.0.1:502", "127.0.0.1:502", "mbtcp://host:99999", "mbtcp://host:port", ""})
        EXPECT_THROW(ParseDahsListen(bad), EDahsSettingsError) << bad;
}

TEST(DahsSettings, AllowListAcceptsAddressesAndNetworks) {
    // Without a list: this machine only.
    EXPECT_TRUE(PeerAllowed({}, "127.0.0.1"));
    EXPECT_TRUE(PeerAllowed({}, "::1"));
    EXPECT_FALSE(PeerAllowed({}, "192.0.2.7"));

    const auto rules = ParseDahsAllow("192.0.2.7, 10.1.0.0/16 2001:db8::/32");
    EXPECT_TRUE(PeerAllowed(rules, "192.0.2.7"));
    EXPECT_FALSE(PeerAllowed(rules, "192.0.2.8"));
    EXPECT_TRUE(PeerAllowed(rules, "10.1.255.3"));
    EXPECT_FALSE(PeerAllowed(rules, "10.2.0.1"));
    EXPECT_TRUE(PeerAllowed(rules, "2001:db8::42"));
    EXPECT_TRUE(PeerAllowed(rules, "::ffff:192.0.2.7"));
    // A list replaces the default: this machine is then one peer like any.
    EXPECT_FALSE(PeerAllowed(rules, "127.0.0.1"));
    EXPECT_FALSE(PeerAllowed(rules, "not an address"));

    for (const char* bad : {"192.0.2", "10.0.0.0/33", "::1/129", "host.example", "10.0.0.0/"})
        EXPECT_THROW(ParseDahsAllow(bad), EDahsSettingsError) << bad;
}

class DahsFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("dahs-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string Put(const std::string& name, const std::string& content = "{}") {
        const auto path = folder_ / name;
        std::ofstream(path) << content;
        return path.string();
    }
    std::filesystem::path folder_;
};

TEST_F(DahsFiles, SettingsAreReadFromVapcalIni) {
    const std::string ini = Put("Vapcal.ini",
                                "[Vapcal]\nDahsListen=mbtcp://:5020\nDahsControl=1\n"
                                "DahsAllow=192.0.2.7\nDahsWordOrder=low-first\n");
    const TDahsSettings s = LoadDahsSettings(ini);
    EXPECT_TRUE(s.Enabled);
    EXPECT_EQ(s.Listen.Port, 5020);
    EXPECT_TRUE(s.Control);
    EXPECT_EQ(s.Allow.size(), 1U);
    EXPECT_EQ(s.WordOrder, woLowFirst);

    // Safe by default.
    const TDahsSettings none = LoadDahsSettings(Put("Empty.ini", "[Vapcal]\n"));
    EXPECT_FALSE(none.Enabled);
    EXPECT_FALSE(none.Control);
    EXPECT_EQ(none.WordOrder, woHighFirst);
    EXPECT_FALSE(LoadDahsSettings(Put("Two.ini", "[Vapcal]\nDahsControl=2\n")).Control);
    EXPECT_THROW(LoadDahsSettings(Put("Bad.ini", "[Vapcal]\nDahsWordOrder=swapped\n")),
                 EDahsSettingsError);
}

TEST_F(DahsFiles, PlansAreNumberedByTheirFileNames) {
    const std::string one = Put("1.json");
    const std::string two = Put("02-linearity.json");
    Put("3 daily.json");
    Put("3 weekly.json");
    Put("4.txt");
    Put("12.json");
    std::string reason;
    EXPECT_EQ(FindPlan(folder_.string(), 1, reason), one);
    EXPECT_EQ(FindPlan(folder_.string(), 2, reason), two);
    EXPECT_FALSE(FindPlan(folder_.string(), 12, reason).empty());
    EXPECT_EQ(FindPlan(folder_.string(), 3, reason), "");
    EXPECT_NE(reason.find("more than one plan 3"), std::string::npos);
    EXPECT_EQ(FindPlan(folder_.string(), 4, reason), "");
    EXPECT_NE(reason.find("no plan 4"), std::string::npos);
    EXPECT_EQ(FindPlan((folder_ / "missing").string(), 1, reason), "");
}

}  // namespace
