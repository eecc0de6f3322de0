// How the plant's server is set up: where it listens, whether the plant may
// command the kit, which peers it accepts, the word order of its two-register
// values, and where the plans it may start are kept.
//
// Safe by default: off unless DahsListen (Vapcal.ini, section Vapcal) or
// --dahs names an address; read-only unless DahsControl=1; without DahsAllow
// only peers on this machine (127.0.0.0/8, ::1) are accepted.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "dahs/dahsmap.h"
#include "platform/tcpdevice.h"

namespace dahs {

// A value of the settings or the command line that cannot be used; the text
// names the key and the value.
class EDahsSettingsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An address or a network (ADDRESS/BITS) whose peers are accepted.
struct TDahsPeerRule {
    bool IPv6 = false;
    std::array<std::uint8_t, 16> Bytes{};
    int Bits = 0;  // leading bits that must match
};

struct TDahsSettings {
    bool Enabled = false;
    platform::TTcpEndpoint Listen{"127.0.0.1", 502};
    bool Control = false;
    std::vector<TDahsPeerRule> Allow;  // empty: this machine only
    TDahsWordOrder WordOrder = woHighFirst;
    std::string PlansFolder;
};

// The settings from the INI file's section Vapcal: DahsListen, DahsControl,
// DahsAllow, DahsWordOrder (high-first or low-first), and the plans folder
// (`plans` in the user's configuration folder for vapcal). Raises
// EDahsSettingsError for a value that is there but cannot be used.
TDahsSettings LoadDahsSettings(const std::string& iniFile);

// "mbtcp://HOST:PORT" (PORT 502 when left out; HOST 127.0.0.1 when empty, as
// in mbtcp://:5020). Raises EDahsSettingsError for anything else.
platform::TTcpEndpoint ParseDahsListen(const std::string& text);
// Addresses and networks separated by commas or blanks. Raises
// EDahsSettingsError naming the first that is none.
std::vector<TDahsPeerRule> ParseDahsAllow(const std::string& text);
// Whether a peer's numeric address is accepted by the rules (by this
// machine's own addresses when there are none).
bool PeerAllowed(const std::vector<TDahsPeerRule>& rules, const std::string& peer);

// `plans` in the user's configuration folder for vapcal.
std::string DefaultPlansFolder();
// Plan N of the folder: the one .json file whose name begins with the
// number N (1.json, 02-linearity.json, "3 daily check.json"). Empty, with
// the reason, when there is none or more than one.
std::string FindPlan(const std::string& folder, int number, std::string& reason);

}  // namespace dahs
