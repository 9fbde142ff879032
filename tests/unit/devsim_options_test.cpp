// The simulated device's command line: what each option sets, and the message for each mistake.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device/options.hpp"

namespace qd::device {
namespace {

ParsedArgs parse(std::vector<std::string> args) {
    args.insert(args.begin(), "qd-devsim");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    return parse_args(static_cast<int>(argv.size()), argv.data());
}

TEST(DevsimOptions, DefaultsBesideTheAddress) {
    const ParsedArgs p = parse({"--address", "198.18.0.7"});
    ASSERT_TRUE(p.options.has_value()) << p.error;
    const DevsimOptions& o = *p.options;
    EXPECT_EQ(o.device.ip, (Ipv4{198, 18, 0, 7}));
    EXPECT_EQ(o.broadcast, (Ipv4{198, 18, 0, 255}));
    EXPECT_EQ(o.device.mac, (std::array<uint8_t, 6>{0, 128, 225, 1, 2, 255}));
    EXPECT_EQ(o.device.my_port, 5008u);
    EXPECT_EQ(o.device.ver_hw, 1u);
    EXPECT_EQ(o.device.ver_bl, 1u);
    EXPECT_EQ(o.device.num_key, 0u);
    EXPECT_EQ(o.device.crc_bl, 0u);
    EXPECT_EQ(o.device.bin_password, 0x1A2B3C4Du);
    EXPECT_EQ(o.device.config_bits, CONFIG_PROGRAMMING_POSSIBLE | CONFIG_GOES_TO_UP1);
    EXPECT_EQ(o.device.time_proc, 0u);
    EXPECT_TRUE(o.device.flash.empty());
    EXPECT_EQ(o.flash_file, "");
    EXPECT_EQ(o.expect_file, "");
    EXPECT_EQ(o.interval_ms, 1000u);
    EXPECT_EQ(o.after_jump_ms, 0u);
    EXPECT_EQ(o.time_limit_ms, 0u);
    EXPECT_EQ(o.faults.seed, 1u);
    EXPECT_EQ(o.faults.loss_probability, 0.0);
    EXPECT_EQ(o.faults.damage_probability, 0.0);
    EXPECT_TRUE(o.faults.lose.empty());
    EXPECT_TRUE(o.faults.damage.empty());
    EXPECT_FALSE(o.faults.duplicate);
    EXPECT_EQ(o.faults.delay_ms, 0u);
    EXPECT_TRUE(o.refusals.empty());
    EXPECT_EQ(o.faults.refuse_probability, 0.0);
    EXPECT_EQ(o.faults.duplicate_probability, 0.0);
    EXPECT_EQ(o.silence.from_command, 0u);
    EXPECT_EQ(o.silence.ms, 0u);
    EXPECT_FALSE(o.silence.forever);
    EXPECT_TRUE(o.faults.mute.empty());
    EXPECT_FALSE(o.faults.wrong_flash_crc);
}

TEST(DevsimOptions, EveryOptionInBothForms) {
    const ParsedArgs p = parse({"--address=10.1.2.3",
                                "--broadcast",
                                "10.1.255.255",
                                "--mac",
                                "00:80:e1:01:02:FF",
                                "--hw-version=7",
                                "--bl-version",
                                "3",
                                "--key",
                                "42",
                                "--bl-crc",
                                "0xB007C0DE",
                                "--flash",
                                "a.bin",
                                "--expect=b.upk",
                                "--password",
                                "DEADBEEF",
                                "--jumper",
                                "--up2",
                                "--interval",
                                "250",
                                "--reply-time",
                                "30",
                                "--reply-counter",
                                "announcements",
                                "--after-jump",
                                "400",
                                "--time-limit",
                                "9000",
                                "--loss",
                                "0.25",
                                "--loss-at",
                                "3,7,20-22",
                                "--damage=0.5",
                                "--damage-at",
                                "1",
                                "--refuse",
                                "CMD_ERASE_UP_FLASH:2:1",
                                "--refuse",
                                "get_config:0:3",
                                "--refuse",
                                "8:12:2",
                                "--refuse",
                                "write_up_flash:5:forever:100",
                                "--duplicate",
                                "--refuse-share=0.125",
                                "--duplicate-share",
                                "0.75",
                                "--silent",
                                "200:3000",
                                "--mute",
                                "CMD_JUMP_TO_APP",
                                "--mute=getcrc_flash",
                                "--mute",
                                "8",
                                "--wrong-crc",
                                "--seed",
                                "99"});
    ASSERT_TRUE(p.options.has_value()) << p.error;
    const DevsimOptions& o = *p.options;
    EXPECT_EQ(o.device.ip, (Ipv4{10, 1, 2, 3}));
    EXPECT_EQ(o.broadcast, (Ipv4{10, 1, 255, 255}));
    EXPECT_EQ(o.device.mac, (std::array<uint8_t, 6>{0, 0x80, 0xE1, 1, 2, 0xFF}));
    EXPECT_EQ(o.device.ver_hw, 7u);
    EXPECT_EQ(o.device.ver_bl, 3u);
    EXPECT_EQ(o.device.num_key, 42u);
    EXPECT_EQ(o.device.crc_bl, 0xB007C0DEu);
    EXPECT_EQ(o.flash_file, "a.bin");
    EXPECT_EQ(o.expect_file, "b.upk");
    EXPECT_EQ(o.device.bin_password, 0xDEADBEEFu);
    EXPECT_EQ(o.device.config_bits, 0u);
    EXPECT_EQ(o.interval_ms, 250u);
    EXPECT_EQ(o.faults.delay_ms, 30u);
    EXPECT_EQ(o.device.time_proc, 30u);
    EXPECT_EQ(o.device.reply_counter, ReplyCounter::announcements);
    EXPECT_EQ(o.after_jump_ms, 400u);
    EXPECT_EQ(o.time_limit_ms, 9000u);
    EXPECT_EQ(o.faults.loss_probability, 0.25);
    EXPECT_EQ(o.faults.lose, (std::set<uint64_t>{3, 7, 20, 21, 22}));
    EXPECT_EQ(o.faults.damage_probability, 0.5);
    EXPECT_EQ(o.faults.damage, (std::set<uint64_t>{1}));
    ASSERT_EQ(o.refusals.size(), 4u);
    EXPECT_EQ(o.refusals[0].cmd, CMD_ERASE_UP_FLASH);
    EXPECT_EQ(o.refusals[0].result, 2u);
    EXPECT_EQ(o.refusals[0].times, 1u);
    EXPECT_EQ(o.refusals[1].cmd, CMD_GET_CONFIG);
    EXPECT_EQ(o.refusals[1].times, 3u);
    EXPECT_EQ(o.refusals[2].cmd, 8u);
    EXPECT_EQ(o.refusals[2].result, 12u);
    EXPECT_EQ(o.refusals[2].after, 0u);
    EXPECT_EQ(o.refusals[3].cmd, CMD_WRITE_UP_FLASH);
    EXPECT_EQ(o.refusals[3].times, 0u);  // for ever
    EXPECT_EQ(o.refusals[3].after, 100u);
    EXPECT_TRUE(o.faults.duplicate);
    EXPECT_EQ(o.faults.refuse_probability, 0.125);
    EXPECT_EQ(o.faults.duplicate_probability, 0.75);
    EXPECT_EQ(o.silence.from_command, 200u);
    EXPECT_EQ(o.silence.ms, 3000u);
    EXPECT_FALSE(o.silence.forever);
    EXPECT_EQ(o.faults.mute, (std::set<uint32_t>{CMD_GETCRC_FLASH, CMD_JUMP_TO_APP, 8}));
    EXPECT_TRUE(o.faults.wrong_flash_crc);
    EXPECT_EQ(o.faults.seed, 99u);
}

// A board with 3 % of each random fault: one option does not undo another.
TEST(DevsimOptions, FourSharesAndASeedTogether) {
    const ParsedArgs p = parse({"--address", "198.18.0.2", "--seed", "7", "--loss", "0.03",
                                "--damage", "0.03", "--refuse-share", "0.03", "--duplicate-share",
                                "0.03"});
    ASSERT_TRUE(p.options.has_value()) << p.error;
    const Faults& f = p.options->faults;
    EXPECT_EQ(f.seed, 7u);
    EXPECT_EQ(f.loss_probability, 0.03);
    EXPECT_EQ(f.damage_probability, 0.03);
    EXPECT_EQ(f.refuse_probability, 0.03);
    EXPECT_EQ(f.duplicate_probability, 0.03);
    EXPECT_TRUE(f.lose.empty());
    EXPECT_TRUE(f.damage.empty());
    EXPECT_FALSE(f.duplicate);
}

struct SilenceForm {
    std::string text;
    Silence silence;
};

// A silence for a time, or for ever from a command on.
TEST(DevsimOptions, SilenceForATimeOrForEver) {
    for (const SilenceForm& c : {SilenceForm{"200:3000", Silence{200, 3000, false}},
                                 SilenceForm{"1:1", Silence{1, 1, false}},
                                 SilenceForm{"5:forever", Silence{5, 0, true}}}) {
        const ParsedArgs p = parse({"--address", "198.18.0.2", "--silent", c.text});
        ASSERT_TRUE(p.options.has_value()) << c.text << ": " << p.error;
        EXPECT_EQ(p.options->silence.from_command, c.silence.from_command) << c.text;
        EXPECT_EQ(p.options->silence.ms, c.silence.ms) << c.text;
        EXPECT_EQ(p.options->silence.forever, c.silence.forever) << c.text;
    }
}

TEST(DevsimOptions, ErasedFlashAndOneBitEach) {
    const ParsedArgs p = parse({"--flash", "x.bin", "--flash", "erased", "--up2", "--address",
                                "1.2.3.4", "--mac", "1.2.3.4.5.6"});
    ASSERT_TRUE(p.options.has_value()) << p.error;
    EXPECT_EQ(p.options->flash_file, "");
    EXPECT_EQ(p.options->device.config_bits, CONFIG_PROGRAMMING_POSSIBLE);
    EXPECT_EQ(p.options->device.mac, (std::array<uint8_t, 6>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(parse({"--address", "1.2.3.4", "--jumper"}).options->device.config_bits,
              CONFIG_GOES_TO_UP1);
}

TEST(DevsimOptions, HelpWinsOverEverything) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"--address", "1.2.3.4", "--help"}, {"--bogus", "-h"}}) {
        const ParsedArgs p = parse(args);
        EXPECT_EQ(p.help, args.front() != "--bogus") << args.front();
    }
}

struct BadCase {
    const char* name;
    std::vector<std::string> args;
    std::string error;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadOptions : public ::testing::TestWithParam<BadCase> {};

const std::string kIp = "(нужно: адрес IPv4, например 198.18.0.2)";
const std::string kMac = "(нужно: MAC: 0.128.225.1.2.255 или 00:80:E1:01:02:FF)";
const std::string kShare = "(нужно: доля от 0 до 1, например 0.1)";
const std::string kList = "(нужно: номера команд от 1, например 3,7,20-25)";
const std::string kSilence = "(нужно: КОМАНДА:МС или КОМАНДА:forever, например 200:3000)";
const std::string kMute = "(нужно: код или имя команды, например CMD_JUMP_TO_APP)";
const std::string kRefusal =
    "(нужно: КОМАНДА:РЕЗУЛЬТАТ:РАЗ[:ПОСЛЕ], РАЗ - число или forever, например "
    "CMD_ERASE_UP_FLASH:2:1)";
const std::string kCount = "(нужно: число устройств от 1 до 64)";
const std::string kDevices = "(нужно: номера устройств от 0, например 0,3,5-7)";

BadCase bad(const char* name, std::vector<std::string> args, std::string error) {
    args.insert(args.begin(), {"--address", "198.18.0.2"});
    return {name, std::move(args), std::move(error)};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadOptions,
    ::testing::Values(
        BadCase{"NoAddress", {}, "не задан адрес устройства (--address)"},
        BadCase{"OctetTooBig",
                {"--address", "198.18.0.256"},
                "неверное значение --address 198.18.0.256 " + kIp},
        BadCase{"ThreeOctets",
                {"--address", "198.18.0"},
                "неверное значение --address 198.18.0 " + kIp},
        BadCase{
            "FiveOctets", {"--address=1.2.3.4.5"}, "неверное значение --address 1.2.3.4.5 " + kIp},
        BadCase{"NoValueAtTheEnd",
                {"--address"},
                "для параметра --address нужно значение: адрес IPv4, например 198.18.0.2"},
        bad("BroadcastName", {"--broadcast", "localhost"},
            "неверное значение --broadcast localhost (нужно: адрес IPv4, например 198.18.0.255)"),
        bad("MacFiveNumbers", {"--mac", "0.128.225.1.2"},
            "неверное значение --mac 0.128.225.1.2 " + kMac),
        bad("MacNotHex", {"--mac", "00:80:E1:01:02:GG"},
            "неверное значение --mac 00:80:E1:01:02:GG " + kMac),
        bad("MacThreeDigits", {"--mac", "00:80:E1:01:02:1FF"},
            "неверное значение --mac 00:80:E1:01:02:1FF " + kMac),
        bad("MacByteTooBig", {"--mac", "0.128.256.1.2.3"},
            "неверное значение --mac 0.128.256.1.2.3 " + kMac),
        bad("PasswordNotHex", {"--password", "xyz"},
            "неверное значение --password xyz (нужно: шестнадцатеричное число)"),
        bad("PasswordNineDigits", {"--password", "123456789"},
            "неверное значение --password 123456789 (нужно: шестнадцатеричное число)"),
        bad("NegativeVersion", {"--hw-version", "-1"},
            "неверное значение --hw-version -1 (нужно: десятичное число)"),
        bad("IntervalZero", {"--interval", "0"},
            "неверное значение --interval 0 (нужно: число мс, не меньше 1)"),
        bad("TimeLimitWithUnit", {"--time-limit", "5s"},
            "неверное значение --time-limit 5s (нужно: число мс)"),
        bad("ShareAboveOne", {"--loss", "1.5"}, "неверное значение --loss 1.5 " + kShare),
        bad("ShareNegative", {"--damage", "-0.1"}, "неверное значение --damage -0.1 " + kShare),
        bad("ShareWord", {"--loss", "half"}, "неверное значение --loss half " + kShare),
        bad("PatternFromZero", {"--loss-at", "0,3"}, "неверное значение --loss-at 0,3 " + kList),
        bad("PatternBackwards", {"--damage-at", "5-3"},
            "неверное значение --damage-at 5-3 " + kList),
        bad("PatternEmptyItem", {"--loss-at", "3,,4"}, "неверное значение --loss-at 3,,4 " + kList),
        bad("PatternHuge", {"--loss-at", "1-4000000000"},
            "неверное значение --loss-at 1-4000000000 " + kList),
        bad("RefuseUnknownName", {"--refuse", "CMD_FOO:1:1"},
            "неверное значение --refuse CMD_FOO:1:1 " + kRefusal),
        bad("RefuseTwoParts", {"--refuse", "3:1"}, "неверное значение --refuse 3:1 " + kRefusal),
        bad("RefuseNoTimes", {"--refuse", "3:1:0"}, "неверное значение --refuse 3:1:0 " + kRefusal),
        bad("RefuseBadAfter", {"--refuse", "3:1:forever:x"},
            "неверное значение --refuse 3:1:forever:x " + kRefusal),
        bad("RefuseFiveParts", {"--refuse", "3:1:1:1:1"},
            "неверное значение --refuse 3:1:1:1:1 " + kRefusal),
        bad("RefuseCode256", {"--refuse", "256:1:1"},
            "неверное значение --refuse 256:1:1 " + kRefusal),
        bad("RefuseShareAboveOne", {"--refuse-share", "2"},
            "неверное значение --refuse-share 2 " + kShare),
        bad("DuplicateShareWord", {"--duplicate-share=some"},
            "неверное значение --duplicate-share some " + kShare),
        bad("ReplyCounterUnknown", {"--reply-counter", "frames"},
            "неверное значение --reply-counter frames (нужно: replies, announcements или still)"),
        bad("SilentNoTime", {"--silent", "200"}, "неверное значение --silent 200 " + kSilence),
        bad("SilentFromZero", {"--silent", "0:100"},
            "неверное значение --silent 0:100 " + kSilence),
        bad("SilentZeroMs", {"--silent", "5:0"}, "неверное значение --silent 5:0 " + kSilence),
        bad("SilentThreeParts", {"--silent", "5:10:1"},
            "неверное значение --silent 5:10:1 " + kSilence),
        bad("SilentForeverFromZero", {"--silent", "0:forever"},
            "неверное значение --silent 0:forever " + kSilence),
        bad("SilentForeverUpperCase", {"--silent", "5:FOREVER"},
            "неверное значение --silent 5:FOREVER " + kSilence),
        bad("SilentForeverAndMs", {"--silent", "5:forever:10"},
            "неверное значение --silent 5:forever:10 " + kSilence),
        bad("MuteUnknownName", {"--mute", "CMD_FOO"}, "неверное значение --mute CMD_FOO " + kMute),
        bad("MuteCode256", {"--mute", "256"}, "неверное значение --mute 256 " + kMute),
        bad("MuteNegative", {"--mute=-1"}, "неверное значение --mute -1 " + kMute),
        bad("MuteEmpty", {"--mute="}, "неверное значение --mute  " + kMute),
        bad("MuteWithoutCode", {"--mute"},
            "для параметра --mute нужно значение: код или имя команды, например CMD_JUMP_TO_APP"),
        bad("WrongCrcWithValue", {"--wrong-crc=1"}, "параметр --wrong-crc не принимает значения"),
        bad("FlashEmpty", {"--flash="}, "неверное значение --flash  (нужно: файл или erased)"),
        bad("Unknown", {"--bogus"}, "неизвестный параметр --bogus"),
        bad("Positional", {"device.ini"}, "неизвестный параметр device.ini"),
        bad("FlagWithValue", {"--duplicate=yes"}, "параметр --duplicate не принимает значения"),
        bad("CountZero", {"--count", "0"}, "неверное значение --count 0 " + kCount),
        bad("CountAboveSixtyFour", {"--count", "65"}, "неверное значение --count 65 " + kCount),
        bad("CountWord", {"--count=all"}, "неверное значение --count all " + kCount),
        bad("OnlyBackwards", {"--count", "8", "--only", "5-3"},
            "неверное значение --only 5-3 " + kDevices),
        bad("OnlyEmpty", {"--only="}, "неверное значение --only  " + kDevices),
        bad("OnlyEmptyItem", {"--only", "1,,2"}, "неверное значение --only 1,,2 " + kDevices),
        bad("OnlySixtyFour", {"--only", "64"}, "неверное значение --only 64 " + kDevices),
        bad("OnlyNegative", {"--only", "-1"}, "неверное значение --only -1 " + kDevices),
        bad("OnlyBeyondTheCount", {"--count", "4", "--only", "1,4", "--loss", "0.5"},
            "в --only 1,4 нет устройства 4: номера устройств от 0 до 3 (--count 4)"),
        bad("OnlyBeyondOneDevice", {"--only", "1", "--wrong-crc"},
            "в --only 1 нет устройства 1: номера устройств от 0 до 0 (--count 1)"),
        bad("OnlyWithoutFaults", {"--count", "4", "--only", "1", "--wrong-crc", "--only", "2"},
            "после --only 2 не задан ни один сбой"),
        bad("OnlyThenACommonOption", {"--count", "4", "--only", "1", "--interval", "50"},
            "параметр --interval относится ко всем устройствам: его место до --only"),
        bad("OnlyThenTheCount", {"--only", "1", "--loss", "1", "--count", "4"},
            "параметр --count относится ко всем устройствам: его место до --only"),
        bad("OnlyWithABadFault", {"--count", "4", "--only", "1", "--loss", "2"},
            "неверное значение --loss 2 " + kShare),
        BadCase{"AddressesBeyond254",
                {"--address", "198.18.0.250", "--count", "6"},
                "адреса 6 устройств от 198.18.0.250 выходят за 198.18.0.254"}),
    [](const auto& c) { return std::string(c.param.name); });

// --- the rack -------------------------------------------------------------------------------

TEST(DevsimOptions, OneDeviceAndNoGroupsByDefault) {
    const ParsedArgs p = parse({"--address", "198.18.0.2", "--seed", "5", "--loss", "0.5"});
    ASSERT_TRUE(p.options.has_value()) << p.error;
    EXPECT_EQ(p.options->count, 1u);
    EXPECT_TRUE(p.options->only.empty());
    // The one device is the options as given.
    const DevsimOptions d = device_options(*p.options, 0);
    EXPECT_EQ(d.device.ip, p.options->device.ip);
    EXPECT_EQ(d.device.mac, p.options->device.mac);
    EXPECT_EQ(d.faults.seed, 5u);
    EXPECT_EQ(d.faults.loss_probability, 0.5);
    EXPECT_EQ(d.count, 1u);
}

TEST(DevsimOptions, CountFromOneToSixtyFourAndTheLastAddress) {
    for (const auto& [count, address] : std::vector<std::pair<std::string, std::string>>{
             {"1", "198.18.0.255"}, {"2", "198.18.0.253"}, {"64", "198.18.0.191"},
             {"53", "198.18.0.2"}}) {
        const ParsedArgs p = parse({"--address", address, "--count", count});
        ASSERT_TRUE(p.options.has_value()) << count << " " << address << ": " << p.error;
        EXPECT_EQ(std::to_string(p.options->count), count);
    }
}

struct RackDeviceCase {
    uint32_t index;
    Ipv4 ip;
    uint8_t mac_last;
    uint32_t seed;
    double loss;
    std::set<uint64_t> lose;
    bool wrong_crc;
    uint32_t reply_time;
    size_t refusals;
    std::set<uint32_t> mute;
    uint64_t silent_from;
};

// Each device its own address and serial number (the last MAC byte wraps round), its own seed,
// the common faults, and those of each --only group that names it, in the order given.
TEST(DevsimOptions, EachDeviceOfTheRack) {
    const ParsedArgs p =
        parse({"--address", "198.18.0.10", "--mac", "0.128.225.1.2.254", "--count", "6",
               "--seed", "40", "--loss", "0.25", "--mute", "CMD_NOP",
               "--only", "0,3-4", "--wrong-crc", "--loss", "0.5", "--refuse", "CMD_NOP:0:1",
               "--only=4,5", "--reply-time", "30", "--loss-at", "7", "--silent", "9:100"});
    ASSERT_TRUE(p.options.has_value()) << p.error;
    const DevsimOptions& o = *p.options;
    EXPECT_EQ(o.count, 6u);
    ASSERT_EQ(o.only.size(), 2u);
    EXPECT_EQ(o.only[0].devices, (std::set<uint32_t>{0, 3, 4}));
    EXPECT_EQ(o.only[1].list, "4,5");
    // The common options are the first device's before its group.
    EXPECT_EQ(o.faults.loss_probability, 0.25);
    EXPECT_FALSE(o.faults.wrong_flash_crc);
    EXPECT_TRUE(o.refusals.empty());

    const std::set<uint32_t> nop{CMD_NOP};
    for (const RackDeviceCase& c : {
             RackDeviceCase{0, {198, 18, 0, 10}, 254, 40, 0.5, {}, true, 0, 1, nop, 0},
             RackDeviceCase{1, {198, 18, 0, 11}, 255, 41, 0.25, {}, false, 0, 0, nop, 0},
             RackDeviceCase{2, {198, 18, 0, 12}, 0, 42, 0.25, {}, false, 0, 0, nop, 0},
             RackDeviceCase{3, {198, 18, 0, 13}, 1, 43, 0.5, {}, true, 0, 1, nop, 0},
             RackDeviceCase{4, {198, 18, 0, 14}, 2, 44, 0.5, {7}, true, 30, 1, nop, 9},
             RackDeviceCase{5, {198, 18, 0, 15}, 3, 45, 0.25, {7}, false, 30, 0, nop, 9}}) {
        SCOPED_TRACE(c.index);
        const DevsimOptions d = device_options(o, c.index);
        EXPECT_EQ(d.device.ip, c.ip);
        EXPECT_EQ(d.device.mac, (std::array<uint8_t, 6>{0, 128, 225, 1, 2, c.mac_last}));
        EXPECT_EQ(d.broadcast, (Ipv4{198, 18, 0, 255}));
        EXPECT_EQ(d.faults.seed, c.seed);
        EXPECT_EQ(d.faults.loss_probability, c.loss);
        EXPECT_EQ(d.faults.lose, c.lose);
        EXPECT_EQ(d.faults.wrong_flash_crc, c.wrong_crc);
        EXPECT_EQ(d.faults.delay_ms, c.reply_time);
        EXPECT_EQ(d.device.time_proc, c.reply_time);
        EXPECT_EQ(d.refusals.size(), c.refusals);
        EXPECT_EQ(d.faults.mute, c.mute);
        EXPECT_EQ(d.silence.from_command, c.silent_from);
        EXPECT_EQ(d.count, 1u);
        EXPECT_TRUE(d.only.empty());
    }
}

TEST_P(BadOptions, AreRefusedWithTheReason) {
    const ParsedArgs p = parse(GetParam().args);
    EXPECT_FALSE(p.help);
    EXPECT_FALSE(p.options.has_value());
    EXPECT_EQ(p.error, GetParam().error);
}

}  // namespace
}  // namespace qd::device
