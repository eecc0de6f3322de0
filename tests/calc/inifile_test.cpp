#include "platform/inifile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "scratchfile.h"

using platform::EIniFileError;
using platform::TIniFile;
namespace fs = std::filesystem;

namespace {

class IniFileTest : public TScratchFileTest {
  protected:
    IniFileTest() : TScratchFileTest("vapcal-ini-", "test.ini") {}
    std::string WriteError(const std::string& path) {
        try {
            TIniFile(path).WriteString("S", "K", "v");
        } catch (const EIniFileError& e) {
            return e.what();
        }
        return "written";
    }
};

TEST_F(IniFileTest, NamesCompareWithoutLetterCase) {
    Write("[Vapcal]\nflow = 7.5 \nQuoted=\"a b\"\n");
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("VAPCAL", "Flow", "-"), "7.5");
    EXPECT_EQ(ini.ReadString("vapcal", "quoted", "-"), "a b");
    EXPECT_EQ(ini.ReadString("Vapcal", "Missing", "-"), "-");
    ini.WriteString("VAPCAL", "FLOW", "8");
    EXPECT_EQ(Read(), "[Vapcal]\nflow=8\nQuoted=\"a b\"\n");
}

TEST_F(IniFileTest, AFileThatIsNotIniKeepsItsContent) {
    const std::string garbage = std::string(
                                    "\x7f"
                                    "ELF\x01\x02\0\0 binary",
                                    15) +
                                "\nx";
    Write(garbage);
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("Vapcal", "Temp", "40"), "40");
    ini.WriteString("Vapcal", "Temp", "45");
    EXPECT_EQ(Read(), garbage + "\n\n[Vapcal]\nTemp=45\n");
}

TEST_F(IniFileTest, LongValuesAreReadUpToTheLimit) {
    Write("[S]\nK=" + std::string(3000, 'x') + "\n");
    EXPECT_EQ(TIniFile(path_).ReadString("S", "K", "").size(), 2047u);
}

TEST_F(IniFileTest, AWriteReplacesTheFileWholeAndLeavesNothingBeside) {
    Write("[S]\nA=1\n");
    chmod(path_.c_str(), 0640);
    struct stat before {};
    stat(path_.c_str(), &before);
    TIniFile(path_).WriteString("S", "B", "2");
    struct stat after {};
    stat(path_.c_str(), &after);
    EXPECT_NE(before.st_ino, after.st_ino) << "a new file took the old one's place";
    EXPECT_EQ(after.st_mode & 0777, 0640u);
    EXPECT_EQ(Read(), "[S]\nA=1\nB=2\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

// A save killed between writing its file and renaming it leaves that file
// behind; the next save removes it, and nothing of a running save or of the
// operator's own.
TEST_F(IniFileTest, ASaveRemovesWhatAKilledSaveLeftBeside) {
    const pid_t killed = fork();
    if (killed == 0)
        _exit(0);
    ASSERT_GT(killed, 0);
    ASSERT_EQ(waitpid(killed, nullptr, 0), killed);
    const std::string left = path_ + ".~" + std::to_string(killed) + ".Ab3xYz";
    const std::string running = path_ + ".~" + std::to_string(getpid()) + ".Qw8rTy";
    const std::string own = path_ + ".~backup";
    for (const std::string& name : {left, running, own})
        std::ofstream(name) << "[S]\nA=";
    Write("[S]\nA=1\n");
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path_.c_str(), 1234, 1234), 0);
    }
    struct stat before {};
    stat(path_.c_str(), &before);

    TIniFile(path_).WriteString("S", "A", "2");
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(running));
    EXPECT_TRUE(fs::exists(own));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 3);
    struct stat after {};
    stat(path_.c_str(), &after);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
}

// Tests run as root, which file permissions do not stop; each refusal here is
// one that stops root too: a folder that does not exist, a "folder" that is
// a file, a settings path that is a folder, and a file with no write
// permission at all (read-only for every user by the file's own mode).
TEST_F(IniFileTest, RefusedWritesRaiseAndChangeNothing) {
    Write("[S]\nK=old\n");
    const std::string notAFolder = path_ + "/x.ini";
    const std::string missingFolder = (folder_ / "none" / "x.ini").string();
    const std::string aFolder = folder_.string();
    EXPECT_EQ(WriteError(notAFolder), "Unable to write to " + notAFolder);
    EXPECT_EQ(WriteError(missingFolder), "Unable to write to " + missingFolder);
    EXPECT_EQ(WriteError(aFolder), "Unable to write to " + aFolder);

    chmod(path_.c_str(), 0444);
    EXPECT_EQ(WriteError(path_), "Unable to write to " + path_);
    EXPECT_EQ(Read(), "[S]\nK=old\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST_F(IniFileTest, NamesThatWouldBreakTheFileAreRefused) {
    TIniFile ini(path_);
    EXPECT_THROW(ini.WriteString("S", "a=b", "1"), EIniFileError);
    EXPECT_THROW(ini.WriteString("S]", "K", "1"), EIniFileError);
    EXPECT_THROW(ini.WriteString("S", "K", "1\n[T]"), EIniFileError);
    EXPECT_FALSE(fs::exists(path_));
}

// A key line that begins with ';' or '#' is a comment: a value written under
// such a key would be lost to every later read, so the write is refused and
// the file stays as it was.
TEST_F(IniFileTest, KeysThatWouldReadAsCommentsAreRefused) {
    Write("[S]\nK=1\n");
    TIniFile ini(path_);
    EXPECT_THROW(ini.WriteString("S", "#", ""), EIniFileError);
    EXPECT_THROW(ini.WriteString("S", ";K", "2"), EIniFileError);
    EXPECT_EQ(Read(), "[S]\nK=1\n");
    ini.WriteString("S", "K#", "3");
    EXPECT_EQ(ini.ReadString("S", "K#", "-"), "3");
}

}  // namespace
