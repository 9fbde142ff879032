// Whole dialogues between qd-server and simulated devices (qd-devsim) over the test network:
// the server in its namespace at 198.18.0.1, the devices in theirs at 198.18.0.2 and up, with
// short pauses and the example container. Each case compares the server's whole console
// transcript (time stamps, build date and waiting counters masked) and each device's whole
// console output and exit status with what the case expects.
//
// Pauses: DelayFrames=5 and DelayWrite=5. The server polls once per command after its pause,
// so a reply must come within it; our machines now and then hold a process up for 1 to 4 ms
// (seen as the time a command waits in the device's socket), which a 1 ms pause per block
// turns into a repeated block in every second or third update. A run that was held up all the
// same is recognised by the device's counts and repeated (see held_up).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "device/program_file.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/testnet.hpp"

namespace qd {
namespace {

namespace fs = std::filesystem;
using test::Process;
using test::TestNetwork;

const std::string kServerExe = QD_SERVER_EXE;
const std::string kDevsimExe = QD_DEVSIM_EXE;
const std::string kTestnet = QD_TESTNET_SH;
const fs::path kExamples = QD_EXAMPLES_DIR;
const std::string kContainer = (kExamples / "D718226B.upk").string();
const std::string kSample = (kExamples / "sample-firmware.bin").string();

const std::string kSep = std::string(56, '-') + "\n";
const std::string kUtf8 = "QD_CONSOLE_CHARSET=utf-8";
constexpr uint32_t kContainerCrc = 0xD718226B;
constexpr uint32_t kErasedCrc = 0x7EF40B2C;  // CRC-32 of 122880 erased (0xFF) bytes
constexpr int kStartMs = 10000;              // longest wait for the server's start
constexpr int kSettleMs = 5000;              // for the server to handle what was sent to it
constexpr int kDeviceMs = 30000;             // for a device to end (its own limit is lower)
const std::string kDeviceLimit = "20000";

std::string hex(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "%X", v);
    return s;
}

uint32_t flash_crc_of(const std::string& program_file) {
    std::string error;
    const device::Bytes flash = device::as_flash(*device::read_program(program_file, error));
    return fullcalk_crc32(flash.data(), IMAGE_SIZE, CRC32_POLY);
}

// --- masking --------------------------------------------------------------------------------

const std::regex kWaiting(R"((Ожидание широковещательного сообщения от устройства: \d+ \r)+)");

std::string masked(std::string text) {
    text = std::regex_replace(text, std::regex(R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\])"), "[TIME]");
    text = std::regex_replace(text, std::regex(R"(Сборка: \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d )"),
                              "Сборка: DATE ");
    return std::regex_replace(text, kWaiting, "[WAITING]");
}

// The waiting counter runs on from 0 over the whole run, never reset.
bool counters_run_on(const std::string& text) {
    const std::regex one(R"(Ожидание широковещательного сообщения от устройства: (\d+) \r)");
    long expected = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), one);
         it != std::sregex_iterator(); ++it) {
        if (std::stol((*it)[1]) != expected++) return false;
    }
    return expected > 0;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(text.substr(at, end - at));
    }
    lines.push_back(text.substr(at));
    return lines;
}

// Equal texts, or the first line in which they differ.
::testing::AssertionResult same_text(const std::string& expected, const std::string& actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    const std::vector<std::string> e = lines_of(expected), a = lines_of(actual);
    size_t n = 0;
    while (n < e.size() && n < a.size() && e[n] == a[n]) ++n;
    return ::testing::AssertionFailure()
           << "texts differ first in line " << n + 1 << " (of " << e.size() << " expected, "
           << a.size() << " got)\n  expected: " << (n < e.size() ? e[n] : "<end>")
           << "\n  got:      " << (n < a.size() ? a[n] : "<end>") << "\nwhole text got:\n"
           << actual;
}

// The number a device's summary gives after `label`.
uint64_t summary_number(const std::string& out, const std::string& label) {
    const size_t at = out.find(label);
    return at == std::string::npos ? 0 : std::stoull(out.substr(at + label.size()));
}

// --- what a case expects --------------------------------------------------------------------

enum class Path { update, jump, ignore };

struct Versions {
    uint32_t hw = 1, bl = 1, key = 0, bl_crc = 0;
};

struct DeviceRun {
    int n;                          // its address is 198.18.0.(n + 1)
    std::string mac;                // as both programs print it
    std::vector<std::string> args;  // its own options beside address and time limit
    uint32_t crc_uflash;            // what it announces
    std::string decision;  // the server's lines after "Анализ необходимости обновления:"
    Path path;
    std::string expect;  // the --expect file among args, or empty
    int status;          // its exit status
    Versions v{};
    uint32_t interval_ms = 10000;
};

std::string ip_of(int n) { return TestNetwork::device_ip(n); }

std::string report(const DeviceRun& d, uint64_t n_frame) {
    return "\n" + kSep +
           "[TIME]\nПринято широковещательное сообщение от обновляемого устройства (dev)\n" +
           "Версия структуры: 1 \n" + "Версия HW: " + std::to_string(d.v.hw) + " \n" +
           "Версия протокола: " + std::to_string(d.v.bl) + " \n" +
           "Учетный номер применяемого шифроключа: " + std::to_string(d.v.key) + " \n" +
           "CRC32 бутлоадера: 0h" + hex(d.v.bl_crc) + " \n" + "MAC dev/serNum: " + d.mac + "\n" +
           "IP dev: " + ip_of(d.n) + " \n" + "Port dev: 5008 \n" +
           "CRC32 текущей пользовательской программы UP1: 0h" + hex(d.crc_uflash) + " \n" +
           "Номер принятого пакета: " + std::to_string(n_frame) + " \n" + kSep;
}

std::string reply_line(const char* name, int code) {
    return std::string(name) + "{" + std::to_string(code) + "} Time:0 ms\n";
}

const std::string kClosing =
    kSep + "Ожидаем широковещательное сообщение от следующего устройства.\n" + kSep;

std::string update_dialogue() {
    std::string t = reply_line("CMD_NOP", 0) + reply_line("CMD_ACTIVATE_BL", 1) +
                    reply_line("CMD_GET_CONFIG", 9) +
                    "Переход на UP1\nПрограммирование возможно\n" +
                    reply_line("CMD_UNBLOCK_FLASH", 2) + reply_line("CMD_ERASE_UP_FLASH", 3) +
                    reply_line("CMD_SET_PASS_BIN", 4);
    for (uint32_t block = 0; block < IMAGE_SIZE / WRITE_BLOCK_SIZE; ++block) {
        t += reply_line("CMD_WRITE_UP_FLASH", 5) + " NPW:" + std::to_string(block) + "; Adr: 0h" +
             hex(FLASH_BASE + block * WRITE_BLOCK_SIZE) + "; \n";
    }
    return t + reply_line("CMD_GETCRC_FLASH", 6) + "FLASH UP1 CRC32: 0h" + hex(kContainerCrc) +
           " \n" + reply_line("CMD_JUMP_TO_APP", 7) + kClosing;
}

std::string after_decision(Path path) {
    switch (path) {
        case Path::update:
            return update_dialogue();
        case Path::jump:
            return "Передаем обнаруженному устройству команду CMD_JUMP_TO_APP.\n" +
                   reply_line("CMD_JUMP_TO_APP", 7) + kClosing;
        case Path::ignore:
            return "Игнорируем обнаруженное устройство.\nОжидаем что оно перейдет на UP по "
                   "таймауту.\n" +
                   kSep;
    }
    return {};
}

// What the server prints for a device whose `announced` broadcasts it has handled.
std::string server_text(const DeviceRun& d, uint64_t announced) {
    std::string t;
    for (uint64_t n = 0; n < announced; ++n) {
        t += "[WAITING]" + report(d, n) + "Анализ необходимости обновления:\n" + d.decision + kSep +
             after_decision(d.path);
    }
    return t;
}

std::string decision_head(uint32_t crc_uflash) {
    const bool same = crc_uflash == kContainerCrc;
    return "Имя bin файла для обновления: D718226B.upk; CRC32 текущей программы UP1: " +
           hex(crc_uflash) + " \n" +
           (same ? "ПО в файле и существующее ПО совпадают!\n"
                 : "ПО в файле и существующее ПО НЕ совпадают!\n");
}

const char* const kCommandNames[] = {"CMD_NOP",
                                     "CMD_ACTIVATE_BL",
                                     "CMD_GET_CONFIG",
                                     "CMD_UNBLOCK_FLASH",
                                     "CMD_ERASE_UP_FLASH",
                                     "CMD_SET_PASS_BIN",
                                     "CMD_WRITE_UP_FLASH",
                                     "CMD_GETCRC_FLASH",
                                     "CMD_JUMP_TO_APP"};

// How many commands of this name the device of a dialogue on this path receives.
int commands_of(const std::string& name, Path path) {
    const bool updated = path == Path::update;
    if (name == "CMD_JUMP_TO_APP") return path != Path::ignore ? 1 : 0;
    if (name == "CMD_WRITE_UP_FLASH") return updated ? 480 : 0;
    return updated ? 1 : 0;
}

std::string lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    return s;
}

// The summary's last line, for programs; the announcements masked as masked_count does.
std::string result_line(const DeviceRun& d, int replies, uint32_t crc_after) {
    const std::string n = std::to_string(replies);
    std::string t = std::string("result: jumped=") + (d.path != Path::ignore ? "1" : "0") +
                    " flash_ok=" + (d.expect.empty() ? "none" : "1") + " commands=" + n +
                    " invalid=0";
    for (const char* name : kCommandNames) {
        t += " " + lower(name) + "=" + std::to_string(commands_of(name, d.path));
    }
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08X", crc_after);
    return t + " cmd_other=0 blocks=" + (d.path == Path::update ? "480" : "0") + " crc=" + crc +
           " reported_crc=" + crc + " announcements=[N] replies=" + n +
           " lost=0 damaged=0 refused=0 duplicated=0 muted=0 dropped_silent=0 send_failures=0\n";
}

std::string device_output(const DeviceRun& d) {
    const bool updated = d.path == Path::update;
    const bool jumped = d.path != Path::ignore;
    std::string commands;
    for (const char* name : kCommandNames) {
        char line[64];
        std::snprintf(line, sizeof line, "  %-20s %d\n", name, commands_of(name, d.path));
        commands += line;
    }
    const int replies = updated ? 488 : jumped ? 1 : 0;
    const uint32_t crc_after = updated ? kContainerCrc : d.crc_uflash;
    std::string t = "qd-devsim: устройство " + ip_of(d.n) + ", MAC " + d.mac + ", CRC32 UP1: 0h" +
                    hex(d.crc_uflash) + "\nОбъявления на 198.18.0.255:5008 каждые " +
                    std::to_string(d.interval_ms) + " мс\n";
    if (jumped) t += "Ответ на CMD_JUMP_TO_APP отправлен, объявления прекращены.\n";
    t += kSep + "qd-devsim " + ip_of(d.n) + ": итог\nПолучено команд:\n" + commands +
         "Недействительных датаграмм: 0\nОбъявлений отправлено: [N]\nОтветов отправлено: " +
         std::to_string(replies) +
         "; потеряно: 0; повреждено: 0\nЗаписано блоков: " + (updated ? "480" : "0") +
         "\nCRC32 FLASH UP1: 0h" + hex(crc_after) + "\n" +
         (jumped ? "Переход на приложение: выполнен\n"
                 : "Переход на приложение: НЕ выполнен, время истекло\n");
    if (!d.expect.empty()) t += "FLASH UP1 и " + d.expect + ": совпадают\n";
    return t + kSep + result_line(d, replies, crc_after);
}

std::string masked_count(const std::string& out) {
    const std::string t = std::regex_replace(out, std::regex(R"(Объявлений отправлено: \d+)"),
                                             "Объявлений отправлено: [N]");
    return std::regex_replace(t, std::regex(R"( announcements=\d+ )"), " announcements=[N] ");
}

// --- the server's configuration and banner -------------------------------------------------

struct ServerSetup {
    int auto_prog;
    int auto_jump;
    std::string na;  // allowlist entry NA, six decimal numbers with dots, or empty
};

std::string ini_text(const ServerSetup& s) {
    return "[DEVICE]\nNA=" + s.na +
           "\n[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=" + std::to_string(s.auto_prog) +
           "\nAutoJumpApp=" + std::to_string(s.auto_jump) +
           "\nDelayWrite=5\nDelayFrames=5\n[FILE]\nBinContainer=D718226B.upk\nTypeContainer=0\n"
           "[PASS]\nPassBinContainer=1A2B3C4D\n[ID_INI_FILE]\nIdIniFile=136719067\n";
}

// The allowlist is shown only when it is in force (AutoProg=1).
std::string allowlist(const ServerSetup& s) {
    if (s.auto_prog != 1) return {};
    const std::string na = s.na.empty() ? "0.0.0.0.0.0" : s.na;
    return kSep + "Обновление ПО только для устройств с сер.N:\n" + na +
           " \n0.0.0.0.0.0 \n0.0.0.0.0.0 \n0.0.0.0.0.0 \n";
}

std::string banner(const fs::path& ini, const ServerSetup& s) {
    return kSep + "[TIME]\nСервер обновлений VELMORAN QD \nВерсия ПО: 1.3A Сборка: DATE \n" +
           "Набор функций A - минимальный\nСтатус ПО: release\n" + kSep +
           "Конфигурация: " + ini.string() + " \nФайл ini прочитан!\n" + kSep +
           "Открываем .upk файл (D718226B.upk) размер файла: 122880 byte\n" +
           "Прочитано в память: 122880 byte\nПроверка CRC32 (0x4c11DB7): D718226B \n" +
           allowlist(s) + kSep + "Create soc rx ()\nОбнаружены ETH адаптеры:\n" +
           TestNetwork::kServerLink + "; veth, \nIP: " + TestNetwork::kServerIp +
           "; MAC: " + TestNetwork::kServerMac + "; Masc: 255.255.255.0\n\n" + kSep +
           "Старт сервера обновлений... \n";
}

// --- a run: the network, the server, the devices one after the other -----------------------

struct DeviceEnd {
    std::optional<int> status;  // nothing: still running after kDeviceMs (then ended)
    std::string output;
};

struct RunEnd {
    std::string trouble;  // what kept the run from being whole, if anything
    std::string banner;   // what the server's start must print
    std::vector<DeviceEnd> devices;
    std::string transcript;
};

std::vector<std::string> devsim_argv(const std::string& net, const DeviceRun& d) {
    std::vector<std::string> argv{"bash",
                                  kTestnet,
                                  "exec-dev",
                                  net,
                                  kDevsimExe,
                                  "--address",
                                  ip_of(d.n),
                                  "--time-limit",
                                  kDeviceLimit,
                                  "--interval",
                                  std::to_string(d.interval_ms)};
    argv.insert(argv.end(), d.args.begin(), d.args.end());
    return argv;
}

// Waits until the server has reported `broadcasts` broadcasts and waits for the next.
bool settled(const Process& server, uint64_t broadcasts) {
    for (int waited = 0; waited < kSettleMs; waited += 20) {
        const std::string text = server.output();
        if (count(text, "Принято широковещательное") == broadcasts && !text.empty() &&
            text.back() == '\r') {
            return true;
        }
        ::usleep(20000);
    }
    return false;
}

// The server in its namespace, then each device in turn until it ends; then the server is
// ended. Every process and the network are gone when this returns.
RunEnd run(const ServerSetup& setup, const std::vector<DeviceRun>& devices) {
    RunEnd end;
    test::TempWorkDir dir;
    fs::copy_file(kContainer, dir.path() / "D718226B.upk");
    test::write_text(dir.path() / "t.ini", ini_text(setup));
    end.banner = banner(dir.path() / "t.ini", setup);
    TestNetwork net(2);
    if (!net.error().empty()) return RunEnd{net.error(), {}, {}, {}};
    Process server({"bash", kTestnet, "exec-server", net.name(), kServerExe, "t.ini"},
                   dir.path() / "server.txt", dir.path(), {kUtf8});
    if (!server.wait_for_output("Старт сервера обновлений... \n", kStartMs)) {
        end.trouble = "the server did not start";
    }
    uint64_t broadcasts = 0;
    for (size_t i = 0; i < devices.size() && end.trouble.empty(); ++i) {
        Process dev(devsim_argv(net.name(), devices[i]),
                    dir.path() / ("device" + std::to_string(i) + ".txt"), dir.path(), {kUtf8});
        DeviceEnd& d = end.devices.emplace_back(DeviceEnd{dev.wait_for(kDeviceMs), {}});
        if (!d.status) dev.stop();
        d.output = dev.output();
        broadcasts += summary_number(d.output, "Объявлений отправлено: ");
        if (!settled(server, broadcasts)) end.trouble = "the server did not report every broadcast";
    }
    server.stop();
    end.transcript = server.output();
    return end;
}

// The machine held a device up so long that its reply came after the server's pause: the
// server then repeats the command and takes later replies for later steps, as it must. Such a
// run shows in the device's own counts: it answered more commands than the dialogue needs
// beside those whose reply it lost or damaged on purpose.
bool held_up(const DeviceEnd& d, uint64_t dialogue_replies) {
    return summary_number(d.output, "Ответов отправлено: ") >
           dialogue_replies + summary_number(d.output, "повреждено: ");
}

uint64_t dialogue_replies(Path path) {
    return path == Path::update ? 488 : path == Path::jump ? 1 : 0;
}

constexpr int kAttempts = 3;

// --- the cases -------------------------------------------------------------------------------

struct Case {
    const char* name;
    ServerSetup server;
    std::vector<DeviceRun> devices;  // one after the other
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const std::string kListedMac = "0:128:225:1:2:255";
const std::string kOtherMac = "0:128:225:1:2:7";
const std::string kAnyVerdict = "Автообновление ПО для любого сер. номера разрешено!\n";
const std::string kNever = "Автообновление ПО запрещено!\n";
const std::string kForced =
    "Автообновление ПО принудительно!\nВнимание! Выполняйте только однократно!\n";

// The MAC as the command line takes it: six decimal numbers with dots.
std::string mac_arg(std::string mac) {
    std::replace(mac.begin(), mac.end(), ':', '.');
    return mac;
}

DeviceRun erased_device(int n, const std::string& mac, const std::string& verdict, Path path) {
    return DeviceRun{
        n,  mac, {"--mac", mac_arg(mac)}, kErasedCrc, decision_head(kErasedCrc) + verdict, path,
        {}, 0};
}

// A device whose flash holds the program in `file` and must hold `expect` at the end.
DeviceRun device_with(int n, const std::string& mac, const std::string& file,
                      const std::string& expect, const std::string& verdict, Path path) {
    const uint32_t crc = flash_crc_of(file);
    return DeviceRun{n,
                     mac,
                     {"--mac", mac_arg(mac), "--flash", file, "--expect", expect},
                     crc,
                     decision_head(crc) + verdict,
                     path,
                     expect,
                     0};
}

std::vector<Case> cases() {
    DeviceRun full = erased_device(1, kListedMac, kAnyVerdict, Path::update);
    full.args.insert(full.args.end(), {"--hw-version", "3", "--bl-version", "2", "--key", "7",
                                       "--bl-crc", "B007C0DE", "--expect", kContainer});
    full.v = Versions{3, 2, 7, 0xB007C0DE};
    full.expect = kContainer;

    DeviceRun ignored = erased_device(1, kListedMac, kNever, Path::ignore);
    ignored.interval_ms = 300;
    ignored.status = 3;
    ignored.args.insert(ignored.args.end(), {"--time-limit", "1500"});

    return {
        {"FullUpdate", {2, 0, ""}, {full}},
        {"TwoDevicesOneAfterTheOther",
         {2, 0, ""},
         {device_with(1, kListedMac, kSample, kContainer, kAnyVerdict, Path::update),
          device_with(2, kOtherMac, kSample, kContainer, kAnyVerdict, Path::update)}},
        {"RefusedDeviceIgnored", {0, 0, ""}, {ignored}},
        {"RefusedDeviceSentToItsApplication",
         {0, 1, ""},
         {device_with(1, kListedMac, kSample, kSample, kNever, Path::jump)}},
        {"AllowlistAcceptsOneAndRefusesAnother",
         {1, 1, "0.128.225.1.2.255"},
         {device_with(1, kListedMac, kSample, kContainer,
                      "Автообновление ПО по списку разрешено!\nСер. номер найден в списке\n",
                      Path::update),
          device_with(2, kOtherMac, kSample, kSample,
                      "Автообновление ПО по списку разрешено!\nСер. номер НЕ найден в списке!\n",
                      Path::jump)}},
        {"SameFirmwareSkipped",
         {2, 1, ""},
         {device_with(1, kListedMac, kContainer, kContainer, kNever, Path::jump)}},
        {"SameFirmwareForced",
         {3, 1, ""},
         {device_with(1, kListedMac, kContainer, kContainer, kForced, Path::update)}},
    };
}

class Dialogue : public ::testing::TestWithParam<Case> {};

INSTANTIATE_TEST_SUITE_P(Cases, Dialogue, ::testing::ValuesIn(cases()),
                         [](const auto& c) { return std::string(c.param.name); });

TEST_P(Dialogue, ServerTranscriptAndDeviceSummariesAreWhole) {
    const Case& c = GetParam();
    RunEnd end;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        end = run(c.server, c.devices);
        bool again = false;
        for (size_t i = 0; i < end.devices.size(); ++i) {
            again = again || held_up(end.devices[i], dialogue_replies(c.devices[i].path));
        }
        if (!again) break;
        std::printf("attempt %d held up by the machine: a reply came late\n", attempt);
    }
    ASSERT_EQ(end.trouble, "");
    ASSERT_EQ(end.devices.size(), c.devices.size());
    std::string expected = end.banner;
    for (size_t i = 0; i < c.devices.size(); ++i) {
        const DeviceRun& d = c.devices[i];
        const DeviceEnd& got = end.devices[i];
        SCOPED_TRACE(ip_of(d.n));
        ASSERT_TRUE(got.status.has_value()) << got.output;
        EXPECT_EQ(*got.status, d.status) << got.output;
        EXPECT_TRUE(same_text(device_output(d), masked_count(got.output)));
        const uint64_t announced = summary_number(got.output, "Объявлений отправлено: ");
        EXPECT_GE(announced, 1u);
        expected += server_text(d, announced);
    }
    EXPECT_TRUE(same_text(expected + "[WAITING]", masked(end.transcript)));
    EXPECT_TRUE(counters_run_on(end.transcript));
}

// Some replies lost and some damaged, the same ones in every run (a fixed seed): the server
// repeats each of those commands once more, and the update completes all the same.
TEST(LossyDevice, UpdateCompletesAndTheFlashEqualsTheContainer) {
    DeviceRun d = erased_device(1, kListedMac, kAnyVerdict, Path::update);
    d.args.insert(d.args.end(),
                  {"--loss", "0.03", "--damage", "0.03", "--seed", "5", "--expect", kContainer});
    RunEnd end;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        end = run({2, 0, ""}, {d});
        if (end.devices.empty() || !held_up(end.devices[0], dialogue_replies(Path::update))) break;
        std::printf("attempt %d held up by the machine: a reply came late\n", attempt);
    }
    ASSERT_EQ(end.trouble, "");
    ASSERT_EQ(end.devices.size(), 1u);
    const DeviceEnd& dev = end.devices[0];
    ASSERT_TRUE(dev.status.has_value()) << dev.output;
    EXPECT_EQ(*dev.status, 0) << dev.output;
    const uint64_t lost = summary_number(dev.output, "потеряно: ");
    const uint64_t damaged = summary_number(dev.output, "повреждено: ");
    EXPECT_GT(lost, 0u);
    EXPECT_GT(damaged, 0u);
    EXPECT_NE(dev.output.find("FLASH UP1 и " + kContainer + ": совпадают\n"), std::string::npos);

    const std::string text = masked(end.transcript);
    EXPECT_EQ(count(text, "Error Net_Handler"), lost + damaged) << text;
    std::string blocks;
    const std::regex npw(R"( NPW:(\d+);)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), npw);
         it != std::sregex_iterator(); ++it) {
        blocks += (*it)[1].str() + ",";
    }
    std::string in_order;
    for (int n = 0; n < 480; ++n) in_order += std::to_string(n) + ",";
    EXPECT_EQ(blocks, in_order) << "each block accepted once, in order";
    EXPECT_EQ(count(text, "FLASH UP1 CRC32: 0hD718226B \n"), 1u);
    ASSERT_GE(text.size(), kClosing.size() + 9);
    EXPECT_EQ(text.substr(text.size() - kClosing.size() - 9), kClosing + "[WAITING]");
}

}  // namespace
}  // namespace qd
