#include "platform/inifile.h"

#include "platform/numtext.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

namespace platform {

namespace {

constexpr size_t kMaxValueLength = 2047;

std::string Replace(const char* format, const std::string& path) {
    std::string text = format;
    text.replace(text.find("%s"), 2, path);
    return text;
}

[[noreturn]] void RaiseUnableToWrite(const std::string& path) {
    throw EIniFileError(Replace(kUnableToWrite, path));
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The file as lines, each without its line end; remembers whether the file
// used CR LF so that added lines match the rest.
struct TLines {
    std::vector<std::string> Lines;
    bool CrLf = false;
};

// nullopt when the file exists but cannot be read.
std::optional<TLines> ReadLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    TLines file;
    if (!in) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 && errno == ENOENT)
            return file;
        return std::nullopt;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            file.CrLf = true;
        }
        file.Lines.push_back(std::move(line));
    }
    if (in.bad())
        return std::nullopt;
    return file;
}

// "[name]" gives name; any other line nullopt.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    line.remove_prefix(1);
    const size_t close = line.find(']');
    return Trim(line.substr(0, close));
}

// "key=value" gives key; comments and other lines nullopt.
std::optional<std::string_view> KeyName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#')
        return std::nullopt;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return std::nullopt;
    return Trim(line.substr(0, equals));
}

std::string_view ValueOf(std::string_view line) {
    std::string_view value = Trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value.substr(0, kMaxValueLength);
}

// Where a section's lines are: its header, and one past its last key line.
struct TSectionPlace {
    size_t Header;
    size_t End;
};

std::optional<TSectionPlace> FindSection(const std::vector<std::string>& lines,
                                         std::string_view section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(lines[i]);
        if (!name || !SameName(*name, section))
            continue;
        TSectionPlace place{i, i + 1};
        for (size_t j = i + 1; j < lines.size() && !SectionName(lines[j]); ++j) {
            if (!Trim(lines[j]).empty())
                place.End = j + 1;
        }
        return place;
    }
    return std::nullopt;
}

std::optional<size_t> FindKey(const std::vector<std::string>& lines, const TSectionPlace& place,
                              std::string_view key) {
    for (size_t i = place.Header + 1; i < place.End; ++i) {
        const auto name = KeyName(lines[i]);
        if (name && SameName(*name, key))
            return i;
    }
    return std::nullopt;
}

bool ValidName(std::string_view name) {
    return !name.empty() && Trim(name) == name &&
           name.find_first_of("[]=\r\n") == std::string_view::npos;
}

// A key line that begins with a comment mark is a comment to every reader:
// the value written under such a key could never be read back.
bool ValidKey(std::string_view key) {
    return ValidName(key) && key.front() != ';' && key.front() != '#';
}

// The file that a write replaces: the target of a link, so that a linked
// settings file stays linked.
std::string WriteTarget(const std::string& path) {
    char resolved[PATH_MAX];
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && realpath(path.c_str(), resolved)) {
        return resolved;
    }
    return path;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A save's file beside the target is named for the target and the saving
// process ("Vapcal.ini.~1234.Ab3xYz"), so that a later save can tell the
// files of a save that was killed from those of one still running.
std::string TemporaryPrefix(const std::string& target) {
    return target + ".~";
}

// The process a temporary file's name gives, or 0 for any other name.
pid_t SavingProcess(const std::string& name, const std::string& prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0)
        return 0;
    const char* digits = name.c_str() + prefix.size();
    char* end = nullptr;
    const long pid = std::strtol(digits, &end, 10);
    if (end == digits || *end != '.' || pid <= 0)
        return 0;
    return static_cast<pid_t>(pid);
}

// Removes the files that saves of processes no longer running left beside
// `target` (a save killed between writing and renaming).
void RemoveStaleTemporaries(const std::string& target) {
    const std::string folder = FolderOf(target);
    const std::string prefix = TemporaryPrefix(target.substr(target.rfind('/') + 1));
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = readdir(dir)) {
        const pid_t pid = SavingProcess(entry->d_name, prefix);
        if (pid != 0 && kill(pid, 0) != 0 && errno == ESRCH)
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

// Writes `data` beside `target`, flushes it to the disk and renames it over
// `target`; false, with nothing changed, when any step fails. The new file
// takes the old one's mode and, where the user may give them, its owner and
// group.
bool ReplaceFile(const std::string& target, const std::string& data, const struct stat* old) {
    RemoveStaleTemporaries(target);
    const std::string folder = FolderOf(target);
    std::string temp = TemporaryPrefix(target) + std::to_string(getpid()) + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return false;
    const mode_t mode = old ? (old->st_mode & 07777) : 0644;
    if (old && fchown(fd, old->st_uid, old->st_gid) != 0) {
        // Only root and the owner's own saves can keep another owner; the
        // mode below still keeps who may read and write it.
    }
    const bool written = WriteAll(fd, data) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(temp.c_str(), target.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder's entry.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
    const auto file = ReadLines(fileName_);
    if (!file)
        return defaultValue;
    const auto place = FindSection(file->Lines, section);
    if (!place)
        return defaultValue;
    const auto line = FindKey(file->Lines, *place, key);
    if (!line)
        return defaultValue;
    return std::string(ValueOf(file->Lines[*line]));
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key,
                          int defaultValue) const {
    int value = 0;
    if (!TryStrToInt(ReadString(section, key, ""), value))
        return defaultValue;
    return value;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key,
                        bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

long double TIniFile::ReadFloat(const std::string& section, const std::string& key,
                                long double defaultValue) const {
    long double value = 0;
    if (!TryStrToFloat(ReadString(section, key, ""), value))
        return defaultValue;
    return value;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    if (!ValidName(section) || !ValidKey(key) || value.find_first_of("\r\n") != std::string::npos) {
        throw EIniFileError(Replace(kInvalidIniName, fileName_));
    }

    const std::string target = WriteTarget(fileName_);
    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    // A file without any write permission is read-only for every user,
    // root included, as the operator meant it to be.
    if (exists && (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0))
        RaiseUnableToWrite(fileName_);
    auto file = ReadLines(target);
    if (!file)
        RaiseUnableToWrite(fileName_);

    auto& lines = file->Lines;
    const std::string keyLine = key + "=" + value;
    if (const auto place = FindSection(lines, section)) {
        if (const auto line = FindKey(lines, *place, key)) {
            const std::string existing(*KeyName(lines[*line]));
            lines[*line] = existing + "=" + value;
        } else {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(place->End), keyLine);
        }
    } else {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.push_back(keyLine);
    }

    const char* eol = file->CrLf ? "\r\n" : "\n";
    std::string data;
    for (const auto& line : lines)
        data += line + eol;
    if (!ReplaceFile(target, data, exists ? &st : nullptr))
        RaiseUnableToWrite(fileName_);
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

}  // namespace platform
