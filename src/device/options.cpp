// qd-devsim's command line: options, their values and their errors.
#include "device/options.hpp"

#include <charconv>
#include <cstdint>
#include <functional>
#include <set>
#include <string_view>

#include "device/commands.hpp"

namespace qd::device {
namespace {

constexpr size_t MAX_PATTERN_ENTRIES = 1000000;

std::optional<uint32_t> parse_uint(std::string_view text, int base = 10) {
    if (base == 16 && (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0)) text.remove_prefix(2);
    uint32_t v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v, base);
    if (text.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
    return v;
}

std::optional<double> parse_share(std::string_view text) {
    double v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc{} || ptr != end || !(v >= 0.0 && v <= 1.0)) {
        return std::nullopt;
    }
    return v;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    for (size_t at = 0;;) {
        const size_t next = text.find(sep, at);
        parts.push_back(text.substr(at, next == std::string_view::npos ? next : next - at));
        if (next == std::string_view::npos) return parts;
        at = next + 1;
    }
}

// A list of numbers and ranges, "3,7,20-25": each from `lowest` up to `highest`, at most
// `most` numbers in all.
std::optional<std::set<uint64_t>> parse_ranges(std::string_view text, uint64_t lowest,
                                               uint64_t highest, size_t most) {
    std::set<uint64_t> numbers;
    for (const std::string_view item : split(text, ',')) {
        const size_t dash = item.find('-');
        const auto first = parse_uint(item.substr(0, dash));
        const auto last =
            dash == std::string_view::npos ? first : parse_uint(item.substr(dash + 1));
        if (!first || !last || *first < lowest || *last < *first || *last > highest) {
            return std::nullopt;
        }
        if (numbers.size() + (*last - *first) >= most) return std::nullopt;
        for (uint64_t n = *first; n <= *last; ++n) numbers.insert(n);
    }
    return numbers;
}

// Command numbers from 1: "3,7,20-25".
std::optional<std::set<uint64_t>> parse_pattern(std::string_view text) {
    return parse_ranges(text, 1, UINT32_MAX, MAX_PATTERN_ENTRIES);
}

// Device numbers from 0, below MAX_DEVICES: "0,3,5-7".
std::optional<std::set<uint32_t>> parse_devices(std::string_view text) {
    const auto numbers = parse_ranges(text, 0, MAX_DEVICES - 1, MAX_PATTERN_ENTRIES);
    if (!numbers) return std::nullopt;
    return std::set<uint32_t>(numbers->begin(), numbers->end());
}

// A command code 0..255, or a name such as CMD_ERASE_UP_FLASH.
std::optional<uint32_t> parse_command(std::string_view text) {
    std::optional<uint32_t> cmd = parse_uint(text);
    if (!cmd) {
        const auto named = command_code(text);
        if (named) cmd = *named;
    }
    if (!cmd || *cmd > 255) return std::nullopt;
    return cmd;
}

// "CMD:RESULT:N" or "CMD:RESULT:forever", then optionally ":AFTER": N at least 1.
std::optional<Refusal> parse_refusal(std::string_view text) {
    const std::vector<std::string_view> parts = split(text, ':');
    if (parts.size() != 3 && parts.size() != 4) return std::nullopt;
    const auto cmd = parse_command(parts[0]);
    const auto result = parse_uint(parts[1]);
    const auto times = parts[2] == "forever" ? std::optional<uint32_t>{0} : parse_uint(parts[2]);
    const auto after = parts.size() == 4 ? parse_uint(parts[3]) : std::optional<uint32_t>{0};
    if (!cmd || !result || !times || !after) return std::nullopt;
    if (*times == 0 && parts[2] != "forever") return std::nullopt;
    return Refusal{*cmd, *result, *times, *after};
}

// "N:MS" or "N:forever": silent from valid command N on, for MS milliseconds or for ever; N and
// MS at least 1.
std::optional<Silence> parse_silence(std::string_view text) {
    const std::vector<std::string_view> parts = split(text, ':');
    if (parts.size() != 2) return std::nullopt;
    const auto from = parse_uint(parts[0]);
    if (!from || *from == 0) return std::nullopt;
    if (parts[1] == "forever") return Silence{*from, 0, true};
    const auto ms = parse_uint(parts[1]);
    if (!ms || *ms == 0) return std::nullopt;
    return Silence{*from, *ms};
}

std::optional<ReplyCounter> parse_reply_counter(std::string_view text) {
    if (text == "replies") return ReplyCounter::replies;
    if (text == "announcements") return ReplyCounter::announcements;
    if (text == "still") return ReplyCounter::still;
    return std::nullopt;
}

// Each option's handler stores its value; false when the value is not what the option takes.
using Handler = std::function<bool(DevsimOptions&, const std::string&)>;

struct Option {
    const char* name;
    bool takes_value;
    const char* expected;  // what the value must be, for the error message
    Handler apply;
};

template <typename T, typename Parse, typename Store>
Handler with(Parse parse, Store store) {
    return [parse, store](DevsimOptions& o, const std::string& v) {
        const std::optional<T> parsed = parse(v);
        if (parsed) store(o, *parsed);
        return parsed.has_value();
    };
}

Handler number(uint32_t DeviceConfig::*field, int base = 10) {
    return with<uint32_t>([base](const std::string& v) { return parse_uint(v, base); },
                          [field](DevsimOptions& o, uint32_t n) { o.device.*field = n; });
}

Handler millis(uint32_t DevsimOptions::*field, uint32_t least) {
    return with<uint32_t>(
        [least](const std::string& v) {
            const auto n = parse_uint(v);
            return n && *n >= least ? n : std::nullopt;
        },
        [field](DevsimOptions& o, uint32_t n) { o.*field = n; });
}

Handler flag(std::function<void(DevsimOptions&)> set) {
    return [set](DevsimOptions& o, const std::string&) {
        set(o);
        return true;
    };
}

void clear_bit(DevsimOptions& o, uint8_t bit) {
    o.device.config_bits = static_cast<uint8_t>(o.device.config_bits & ~bit);
}

const std::vector<Option>& option_table() {
    static const std::vector<Option> table{
        {"--address", true, "адрес IPv4, например 198.18.0.2",
         with<Ipv4>(parse_ipv4, [](DevsimOptions& o, Ipv4 ip) { o.device.ip = ip; })},
        {"--broadcast", true, "адрес IPv4, например 198.18.0.255",
         with<Ipv4>(parse_ipv4, [](DevsimOptions& o, Ipv4 ip) { o.broadcast = ip; })},
        {"--mac", true, "MAC: 0.128.225.1.2.255 или 00:80:E1:01:02:FF",
         with<std::array<uint8_t, 6>>(parse_mac,
                                      [](DevsimOptions& o, auto m) { o.device.mac = m; })},
        {"--hw-version", true, "десятичное число", number(&DeviceConfig::ver_hw)},
        {"--bl-version", true, "десятичное число", number(&DeviceConfig::ver_bl)},
        {"--key", true, "десятичное число", number(&DeviceConfig::num_key)},
        {"--bl-crc", true, "шестнадцатеричное число", number(&DeviceConfig::crc_bl, 16)},
        {"--password", true, "шестнадцатеричное число", number(&DeviceConfig::bin_password, 16)},
        {"--flash", true, "файл или erased",
         [](DevsimOptions& o, const std::string& v) {
             o.flash_file = v == "erased" ? "" : v;
             return !v.empty();
         }},
        {"--expect", true, "файл",
         [](DevsimOptions& o, const std::string& v) {
             o.expect_file = v;
             return !v.empty();
         }},
        {"--jumper", false, "",
         flag([](DevsimOptions& o) { clear_bit(o, CONFIG_PROGRAMMING_POSSIBLE); })},
        {"--up2", false, "", flag([](DevsimOptions& o) { clear_bit(o, CONFIG_GOES_TO_UP1); })},
        {"--interval", true, "число мс, не меньше 1", millis(&DevsimOptions::interval_ms, 1)},
        {"--reply-time", true, "число мс",
         with<uint32_t>([](const std::string& v) { return parse_uint(v); },
                        [](DevsimOptions& o, uint32_t n) {
                            o.faults.delay_ms = n;
                            o.device.time_proc = n;
                        })},
        {"--reply-counter", true, "replies, announcements или still",
         with<ReplyCounter>(parse_reply_counter,
                            [](DevsimOptions& o, ReplyCounter c) { o.device.reply_counter = c; })},
        {"--after-jump", true, "число мс", millis(&DevsimOptions::after_jump_ms, 0)},
        {"--time-limit", true, "число мс", millis(&DevsimOptions::time_limit_ms, 0)},
        {"--loss", true, "доля от 0 до 1, например 0.1",
         with<double>(parse_share,
                      [](DevsimOptions& o, double s) { o.faults.loss_probability = s; })},
        {"--loss-at", true, "номера команд от 1, например 3,7,20-25",
         with<std::set<uint64_t>>(parse_pattern,
                                  [](DevsimOptions& o, auto s) { o.faults.lose = s; })},
        {"--damage", true, "доля от 0 до 1, например 0.1",
         with<double>(parse_share,
                      [](DevsimOptions& o, double s) { o.faults.damage_probability = s; })},
        {"--damage-at", true, "номера команд от 1, например 3,7,20-25",
         with<std::set<uint64_t>>(parse_pattern,
                                  [](DevsimOptions& o, auto s) { o.faults.damage = s; })},
        {"--refuse", true,
         "КОМАНДА:РЕЗУЛЬТАТ:РАЗ[:ПОСЛЕ], РАЗ - число или forever, например CMD_ERASE_UP_FLASH:2:1",
         with<Refusal>(parse_refusal,
                       [](DevsimOptions& o, Refusal r) { o.refusals.push_back(r); })},
        {"--refuse-share", true, "доля от 0 до 1, например 0.1",
         with<double>(parse_share,
                      [](DevsimOptions& o, double s) { o.faults.refuse_probability = s; })},
        {"--duplicate", false, "", flag([](DevsimOptions& o) { o.faults.duplicate = true; })},
        {"--duplicate-share", true, "доля от 0 до 1, например 0.1",
         with<double>(parse_share,
                      [](DevsimOptions& o, double s) { o.faults.duplicate_probability = s; })},
        {"--silent", true, "КОМАНДА:МС или КОМАНДА:forever, например 200:3000",
         with<Silence>(parse_silence, [](DevsimOptions& o, Silence s) { o.silence = s; })},
        {"--mute", true, "код или имя команды, например CMD_JUMP_TO_APP",
         with<uint32_t>(parse_command,
                        [](DevsimOptions& o, uint32_t cmd) { o.faults.mute.insert(cmd); })},
        {"--wrong-crc", false, "",
         flag([](DevsimOptions& o) { o.faults.wrong_flash_crc = true; })},
        {"--seed", true, "десятичное число",
         with<uint32_t>([](const std::string& v) { return parse_uint(v); },
                        [](DevsimOptions& o, uint32_t n) { o.faults.seed = n; })},
        {"--count", true, "число устройств от 1 до 64",
         with<uint32_t>(
             [](const std::string& v) {
                 const auto n = parse_uint(v);
                 return n && *n >= 1 && *n <= MAX_DEVICES ? n : std::nullopt;
             },
             [](DevsimOptions& o, uint32_t n) { o.count = n; })},
        {"--only", true, "номера устройств от 0, например 0,3,5-7",
         [](DevsimOptions& o, const std::string& v) {
             const auto devices = parse_devices(v);
             if (devices) o.only.push_back(OnlyGroup{*devices, v, {}});
             return devices.has_value();
         }},
    };
    return table;
}

// The options that --only gives to some devices only: the reply time and counter, and the
// faults.
bool per_device(const std::string& name) {
    static const std::set<std::string> names{
        "--reply-time",   "--reply-counter", "--loss",      "--loss-at",         "--damage",
        "--damage-at",    "--refuse",        "--refuse-share", "--duplicate", "--duplicate-share",
        "--silent",       "--mute",          "--wrong-crc"};
    return names.count(name) != 0;
}

const Option* find_option(const std::string& name) {
    for (const Option& o : option_table()) {
        if (name == o.name) return &o;
    }
    return nullptr;
}

DevsimOptions defaults() {
    DevsimOptions o;
    o.device.mac = {0, 128, 225, 1, 2, 255};
    o.device.my_port = UPDATE_PORT;
    o.device.ver_hw = 1;
    o.device.ver_bl = 1;
    o.device.bin_password = DEFAULT_PASSWORD;
    return o;
}

// "--name value" or "--name=value"; moves `at` past what it used.
std::string take_option(DevsimOptions& o, int argc, const char* const* argv, int& at,
                        std::set<std::string>& given) {
    std::string arg = argv[at];
    std::optional<std::string> value;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
    }
    const Option* opt = find_option(arg);
    if (opt == nullptr) return "неизвестный параметр " + arg;
    if (!opt->takes_value && value) return "параметр " + arg + " не принимает значения";
    if (opt->takes_value && !value) {
        if (at + 1 >= argc) return "для параметра " + arg + " нужно значение: " + opt->expected;
        value = argv[++at];
    }
    if (!o.only.empty() && arg != "--only" && !per_device(arg)) {
        return "параметр " + arg + " относится ко всем устройствам: его место до --only";
    }
    // After --only the option is checked on a copy and kept for the devices of the group.
    DevsimOptions checked = o;
    DevsimOptions& target = o.only.empty() || arg == "--only" ? o : checked;
    if (!opt->apply(target, value.value_or(""))) {
        return "неверное значение " + arg + " " + *value + " (нужно: " + opt->expected + ")";
    }
    if (&target == &checked) o.only.back().options.emplace_back(arg, value.value_or(""));
    given.insert(arg);
    return {};
}

// What is wrong with the devices together: their addresses, and the numbers --only names.
std::string check_rack(const DevsimOptions& o) {
    if (o.count > 1 && o.device.ip[3] + o.count - 1 > 254) {
        return "адреса " + std::to_string(o.count) + " устройств от " + dotted(o.device.ip) +
               " выходят за " + std::to_string(o.device.ip[0]) + "." +
               std::to_string(o.device.ip[1]) + "." + std::to_string(o.device.ip[2]) + ".254";
    }
    for (const OnlyGroup& g : o.only) {
        if (g.options.empty()) return "после --only " + g.list + " не задан ни один сбой";
        if (*g.devices.rbegin() >= o.count) {
            return "в --only " + g.list + " нет устройства " +
                   std::to_string(*g.devices.rbegin()) + ": номера устройств от 0 до " +
                   std::to_string(o.count - 1) + " (--count " + std::to_string(o.count) + ")";
        }
    }
    return {};
}

}  // namespace

std::optional<Ipv4> parse_ipv4(const std::string& text) {
    const std::vector<std::string_view> parts = split(text, '.');
    if (parts.size() != 4) return std::nullopt;
    Ipv4 ip{};
    for (size_t i = 0; i < 4; ++i) {
        const auto n = parts[i].size() <= 3 ? parse_uint(parts[i]) : std::nullopt;
        if (!n || *n > 255) return std::nullopt;
        ip[i] = static_cast<uint8_t>(*n);
    }
    return ip;
}

std::optional<std::array<uint8_t, 6>> parse_mac(const std::string& text) {
    const bool hex = text.find(':') != std::string::npos;
    const std::vector<std::string_view> parts = split(text, hex ? ':' : '.');
    if (parts.size() != 6) return std::nullopt;
    std::array<uint8_t, 6> mac{};
    for (size_t i = 0; i < 6; ++i) {
        const size_t widest = hex ? 2 : 3;
        const auto n =
            parts[i].size() <= widest ? parse_uint(parts[i], hex ? 16 : 10) : std::nullopt;
        if (!n || *n > 255) return std::nullopt;
        mac[i] = static_cast<uint8_t>(*n);
    }
    return mac;
}

std::string dotted(const Ipv4& ip) {
    return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
           std::to_string(ip[3]);
}

ParsedArgs parse_args(int argc, const char* const* argv) {
    ParsedArgs parsed;
    DevsimOptions o = defaults();
    std::set<std::string> given;
    for (int at = 1; at < argc; ++at) {
        const std::string arg = argv[at];
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            return parsed;
        }
        parsed.error = take_option(o, argc, argv, at, given);
        if (!parsed.error.empty()) return parsed;
    }
    if (given.count("--address") == 0) {
        parsed.error = "не задан адрес устройства (--address)";
        return parsed;
    }
    parsed.error = check_rack(o);
    if (!parsed.error.empty()) return parsed;
    if (given.count("--broadcast") == 0)
        o.broadcast = Ipv4{o.device.ip[0], o.device.ip[1], o.device.ip[2], 255};
    parsed.options = o;
    return parsed;
}

DevsimOptions device_options(const DevsimOptions& o, uint32_t index) {
    DevsimOptions d = o;
    d.count = 1;
    d.only.clear();
    d.device.ip[3] = static_cast<uint8_t>(o.device.ip[3] + index);
    d.device.mac[5] = static_cast<uint8_t>(o.device.mac[5] + index);
    d.faults.seed = o.faults.seed + index;
    for (const OnlyGroup& g : o.only) {
        if (g.devices.count(index) == 0) continue;
        for (const auto& [name, value] : g.options) find_option(name)->apply(d, value);
    }
    return d;
}

}  // namespace qd::device
