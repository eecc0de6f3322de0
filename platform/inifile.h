// INI files read and written one value at a time.
//
// Section and key names compare without regard to letter case; a write
// replaces or adds one value and keeps every other line of the file as it
// was. A write never leaves a torn file: the new content goes to a file
// beside it, reaches the disk, and then replaces the old file in one rename,
// so a crash or power cut leaves either the old or the new file. The new
// file keeps the old one's mode (and owner, where the user may keep it); a
// file beside it left by a save that was killed is removed by the next one. The file is
// read afresh by every call; nothing is cached between calls.
#pragma once

#include <stdexcept>
#include <string>

namespace platform {

// "Unable to write to %s", with the file's full path.
class EIniFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kUnableToWrite = "Unable to write to %s";
inline constexpr const char* kInvalidIniName = "Invalid name or value for %s";

class TIniFile {
  public:
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return fileName_; }

    // The stored value (surrounding blanks and one pair of enclosing quotes
    // removed, at most 2047 characters), or `defaultValue` when the file,
    // the section or the key is missing or the file cannot be read.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // Decimal, or hexadecimal with "$", "0x" or "0X"; `defaultValue` when
    // missing or not an integer.
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
    // An integer value, non-zero being true; `defaultValue` when missing or
    // not an integer.
    bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;
    // A number with the locale's separator; `defaultValue` when missing,
    // empty or not a number.
    long double ReadFloat(const std::string& section, const std::string& key,
                          long double defaultValue) const;

    // Replaces or adds one value. A file that cannot be read whole, a
    // read-only file (no write permission bit, whoever the user is), or a
    // folder that refuses the new file raises EIniFileError "Unable to write
    // to <path>" and leaves the file as it was.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    // "1" or "0".
    void WriteBool(const std::string& section, const std::string& key, bool value);

  private:
    std::string fileName_;
};

}  // namespace platform
