#include "dahs/dahssettings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "dahs/messages.h"
#include "platform/filltext.h"
#include "platform/inifile.h"
#include "platform/userconfig.h"

namespace dahs {

namespace {

constexpr const char* kSection = "Vapcal";
constexpr const char* kScheme = "mbtcp://";
constexpr std::uint16_t kModbusTcpPort = 502;

// The address's bytes; an IPv4-mapped IPv6 address counts as IPv4.
bool ParseAddress(const std::string& text, bool& ipv6, std::array<std::uint8_t, 16>& bytes) {
    bytes.fill(0);
    if (inet_pton(AF_INET, text.c_str(), bytes.data()) == 1) {
        ipv6 = false;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes.data()) != 1)
        return false;
    static constexpr std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::equal(std::begin(mapped), std::end(mapped), bytes.begin())) {
        std::copy_n(bytes.begin() + 12, 4, bytes.begin());
        std::fill(bytes.begin() + 4, bytes.end(), 0);
        ipv6 = false;
        return true;
    }
    ipv6 = true;
    return true;
}

bool ParseRule(const std::string& text, TDahsPeerRule& rule) {
    const std::size_t slash = text.find('/');
    if (!ParseAddress(text.substr(0, slash), rule.IPv6, rule.Bytes))
        return false;
    const int most = rule.IPv6 ? 128 : 32;
    rule.Bits = most;
    if (slash == std::string::npos)
        return true;
    const std::string bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 ||
        !std::all_of(bits.begin(), bits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    rule.Bits = std::stoi(bits);
    return rule.Bits <= most;
}

bool Matches(const TDahsPeerRule& rule, bool ipv6, const std::array<std::uint8_t, 16>& bytes) {
    if (rule.IPv6 != ipv6)
        return false;
    for (int bit = 0; bit < rule.Bits; ++bit) {
        const int mask = 0x80 >> (bit % 8);
        const auto at = static_cast<std::size_t>(bit / 8);
        if ((rule.Bytes[at] & mask) != (bytes[at] & mask))
            return false;
    }
    return true;
}

const std::vector<TDahsPeerRule>& ThisMachine() {
    static const std::vector<TDahsPeerRule> rules = ParseDahsAllow("127.0.0.0/8, ::1");
    return rules;
}

// The number a plan's file name begins with, 0 when it begins otherwise.
int LeadingNumber(const std::string& name) {
    int number = 0;
    std::size_t digits = 0;
    while (digits < name.size() && digits < 6 &&
           std::isdigit(static_cast<unsigned char>(name[digits]))) {
        number = number * 10 + (name[digits] - '0');
        ++digits;
    }
    if (digits == 0 ||
        (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits]))))
        return 0;
    return number;
}

}  // namespace

platform::TTcpEndpoint ParseDahsListen(const std::string& text) {
    const std::string scheme(kScheme);
    if (text.compare(0, scheme.size(), scheme) != 0)
        throw EDahsSettingsError(platform::FillText(msg::ListenInvalid, {text}));
    std::string rest = text.substr(scheme.size());
    // No host, or none but the port: this machine only.
    if (rest.empty() || rest.front() == ':')
        rest = "127.0.0.1" + rest;
    platform::TTcpEndpoint endpoint;
    if (!platform::ParseTcpEndpoint(rest, kModbusTcpPort, true, endpoint))
        throw EDahsSettingsError(platform::FillText(msg::ListenInvalid, {text}));
    return endpoint;
}

std::vector<TDahsPeerRule> ParseDahsAllow(const std::string& text) {
    std::vector<TDahsPeerRule> rules;
    std::string item;
    auto take = [&rules, &item] {
        if (item.empty())
            return;
        TDahsPeerRule rule;
        if (!ParseRule(item, rule))
            throw EDahsSettingsError(platform::FillText(msg::AllowInvalid, {item}));
        rules.push_back(rule);
        item.clear();
    };
    for (const char c : text) {
        if (c == ',' || std::isspace(static_cast<unsigned char>(c)))
            take();
        else
            item += c;
    }
    take();
    return rules;
}

bool PeerAllowed(const std::vector<TDahsPeerRule>& rules, const std::string& peer) {
    bool ipv6 = false;
    std::array<std::uint8_t, 16> bytes{};
    if (!ParseAddress(peer, ipv6, bytes))
        return false;
    const std::vector<TDahsPeerRule>& used = rules.empty() ? ThisMachine() : rules;
    return std::any_of(used.begin(), used.end(),
                       [&](const TDahsPeerRule& rule) { return Matches(rule, ipv6, bytes); });
}

TDahsSettings LoadDahsSettings(const std::string& iniFile) {
    const platform::TIniFile ini(iniFile);
    TDahsSettings settings;
    const std::string listen = ini.ReadString(kSection, "DahsListen", "");
    settings.Enabled = !listen.empty() && listen != "0";
    if (settings.Enabled)
        settings.Listen = ParseDahsListen(listen);
    settings.Control = ini.ReadInteger(kSection, "DahsControl", 0) == 1;
    settings.Allow = ParseDahsAllow(ini.ReadString(kSection, "DahsAllow", ""));
    const std::string order = ini.ReadString(kSection, "DahsWordOrder", "high-first");
    if (order == "high-first")
        settings.WordOrder = woHighFirst;
    else if (order == "low-first")
        settings.WordOrder = woLowFirst;
    else
        throw EDahsSettingsError(platform::FillText(msg::WordOrderInvalid, {order}));
    settings.PlansFolder = DefaultPlansFolder();
    return settings;
}

std::string DefaultPlansFolder() {
    const std::string config = platform::UserConfigDirectory();
    return config.empty() ? std::string() : config + "/vapcal/plans";
}

std::string FindPlan(const std::string& folder, int number, std::string& reason) {
    namespace fs = std::filesystem;
    std::string found;
    int count = 0;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const fs::path& path = it->path();
        if (path.extension() != ".json" || !it->is_regular_file(error))
            continue;
        if (LeadingNumber(path.filename().string()) != number)
            continue;
        found = path.string();
        ++count;
    }
    const std::string n = std::to_string(number);
    if (count == 1)
        return found;
    reason = platform::FillText(count == 0 ? msg::PlanMissing : msg::PlanAmbiguous, {n, folder});
    return {};
}

}  // namespace dahs
