// The simulated device's settings, as its command line gives them.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device/bootloader.hpp"
#include "device/simulator.hpp"
#include "platform/datagram.hpp"

namespace qd::device {

// The password the simulated device expects unless told otherwise: the example configuration's.
inline constexpr uint32_t DEFAULT_PASSWORD = 0x1A2B3C4D;
inline constexpr uint32_t DEFAULT_INTERVAL_MS = 1000;
// The most devices one qd-devsim runs (--count).
inline constexpr uint32_t MAX_DEVICES = 64;

struct Refusal {
    uint32_t cmd;
    uint32_t result;
    uint32_t times;      // 0: for ever
    uint32_t after = 0;  // commands carried out before the refusals begin
};

// The options given after "--only LIST" (up to the next --only): they apply to the devices of
// LIST only, after those given before the first --only.
struct OnlyGroup {
    std::set<uint32_t> devices;  // numbers from 0
    std::string list;            // as given
    std::vector<std::pair<std::string, std::string>> options;  // name and value, in their order
};

struct DevsimOptions {
    DeviceConfig device;      // its flash is left empty here: see flash_file
    std::string flash_file;   // the program in the UP1 flash at start; empty: erased
    std::string expect_file;  // the image to compare the flash with at the end; empty: none
    Ipv4 broadcast{};         // where the announcements go, port 5008
    Faults faults;
    std::vector<Refusal> refusals;
    uint32_t interval_ms = DEFAULT_INTERVAL_MS;  // between two announcements
    uint32_t after_jump_ms = 0;  // how long to go on after the jump is answered; 0: end at once
    uint32_t time_limit_ms = 0;  // the longest run; 0: none
    Silence silence;             // none unless given
    uint32_t count = 1;          // devices at consecutive addresses from device.ip
    std::vector<OnlyGroup> only;
};

struct ParsedArgs {
    bool help = false;
    std::optional<DevsimOptions> options;  // unless help was asked for or error is set
    std::string error;                     // what is wrong with the command line (UTF-8)
};

ParsedArgs parse_args(int argc, const char* const* argv);

// The options of device `index` (from 0) of those `o` gives: its address and the last byte of
// its MAC `index` more than the first device's (the byte wrapping round), its seed `index` more,
// and the options of each --only group that names it applied in their order; one device and
// no groups.
DevsimOptions device_options(const DevsimOptions& o, uint32_t index);

// Text forms shared with the summary and the tests.
std::optional<Ipv4> parse_ipv4(const std::string& text);
// Six decimal numbers with dots (0.128.225.1.2.255) or six hex pairs with colons
// (00:80:E1:01:02:FF).
std::optional<std::array<uint8_t, 6>> parse_mac(const std::string& text);
std::string dotted(const Ipv4& ip);

}  // namespace qd::device
