// INI reader and writer: any file content reads without harm; a write of one
// value keeps every other line of the file and every other value as it was,
// and the value reads back as written; a write that is refused leaves the
// file byte for byte as it was.
//
// The input says which section and key to write (one already in the file, or
// new names), the value, and then the file's content.
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fuzzcheck.h"
#include "platform/inifile.h"

using platform::TIniFile;

namespace {

using TName = std::pair<std::string, std::string>;  // section, key

std::string Line(fuzz::TInput& in) {
    std::string text;
    while (in.Left() > 0) {
        const char c = static_cast<char>(in.Byte());
        if (c == '\n')
            break;
        text += c;
    }
    return text;
}

std::vector<std::string> Lines(const std::string& content) {
    std::vector<std::string> lines;
    std::istringstream stream(content);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string Trimmed(std::string s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front()))
        s.erase(s.begin());
    while (!s.empty() && blank(s.back()))
        s.pop_back();
    return s;
}

// The section and key names a reader of the file would see, at most 16.
std::vector<TName> NamesIn(const std::vector<std::string>& lines) {
    std::vector<TName> names;
    std::string section;
    for (const std::string& raw : lines) {
        const std::string line = Trimmed(raw);
        if (!line.empty() && line.front() == '[') {
            section = Trimmed(line.substr(1, line.find(']') - 1));
        } else if (const auto eq = line.find('='); eq != std::string::npos && eq > 0) {
            names.emplace_back(section, Trimmed(line.substr(0, eq)));
        }
        if (names.size() == 16)
            break;
    }
    return names;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string FileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A value that the file keeps as it is: no blanks around it, not in a pair
// of quotes (which a reader removes), not longer than a read takes.
bool Plain(const std::string& v) {
    if (v.size() > 2047 || Trimmed(v) != v)
        return false;
    return !(v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front());
}

// A write changes the file in one place: it replaces one line, or inserts
// lines, and every other line stays as it was.
bool KeepsLines(const std::vector<std::string>& before, const std::vector<std::string>& after) {
    std::size_t head = 0;
    while (head < before.size() && head < after.size() && before[head] == after[head])
        ++head;
    std::size_t tail = 0;
    while (tail < before.size() - head && tail < after.size() - head &&
           before[before.size() - 1 - tail] == after[after.size() - 1 - tail])
        ++tail;
    return before.size() - head - tail <= 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    const std::uint8_t choice = in.Byte();
    TName target{Line(in), Line(in)};
    const std::string value = Line(in);
    const auto rest = in.Rest();
    const std::string content(rest.begin(), rest.end());

    const std::string path = fuzz::ScratchFolder() + "fuzz.ini";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    TIniFile ini(path);
    const std::vector<std::string> lines = Lines(content);
    const std::vector<TName> names = NamesIn(lines);
    if ((choice & 1U) != 0 && !names.empty())
        target = names[choice / 2 % names.size()];

    std::vector<std::string> values;
    for (const TName& n : names) {
        values.push_back(ini.ReadString(n.first, n.second, "\x01missing"));
        ini.ReadInteger(n.first, n.second, 0);
        ini.ReadBool(n.first, n.second, false);
        ini.ReadFloat(n.first, n.second, 0);
    }

    try {
        ini.WriteString(target.first, target.second, value);
    } catch (const platform::EIniFileError&) {
        FUZZ_CHECK(FileContent(path) == content);
        return 0;
    }
    if (Plain(value))
        FUZZ_CHECK(ini.ReadString(target.first, target.second, "\x01missing") == value);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const TName& n = names[i];
        if (SameName(n.first, target.first) && SameName(n.second, target.second))
            continue;
        FUZZ_CHECK(ini.ReadString(n.first, n.second, "\x01missing") == values[i]);
    }
    FUZZ_CHECK(KeepsLines(lines, Lines(FileContent(path))));
    return 0;
}
