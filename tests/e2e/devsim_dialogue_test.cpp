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
// same is recognised by the device's counts (more commands received, or more replies sent, than
// its dialogue needs) and repeated (see held_up).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
#include "support/bench.hpp"
#include "support/process.hpp"
#include "support/testnet.hpp"

namespace qd {
namespace {

namespace fs = std::filesystem;
using test::Process;
using test::TestNetwork;

const fs::path kExamples = QD_EXAMPLES_DIR;
const std::string kContainer = (kExamples / "D718226B.upk").string();
const std::string kSample = (kExamples / "sample-firmware.bin").string();

const std::string kSep = std::string(56, '-') + "\n";
constexpr uint32_t kContainerCrc = 0xD718226B;
constexpr uint32_t kErasedCrc = 0x7EF40B2C;  // CRC-32 of 122880 erased (0xFF) bytes
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

// A run of failed attempts at one block, as many as fit into the stall time.
std::string repeats_masked(const std::string& text) {
    return std::regex_replace(text, std::regex("(Error Net_Handler CMD_WRITE_UP_FLASH\n)+"),
                              "[REPEATS]");
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

// How a device's dialogue goes.
enum class Path {
    update,            // updated and sent to its application
    jump,              // sent to its application without an update
    ignore,            // nothing sent
    verify_failed,     // its flash CRC differs from the image's three times: left in its bootloader
    jump_unconfirmed,  // updated, but its jump is never answered: left in its bootloader
    stalled,           // silent for ever from command kSilentFrom on: given up
};

// Command 200 is block 193: the blocks begin with command 7.
constexpr int kSilentFrom = 200;
constexpr int kSilentBlock = kSilentFrom - 7;
constexpr int kStallSeconds = 5;

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
    bool wrong_crc = false;  // --wrong-crc among args
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

// The CRC-32 of the flash after the write: the container, or, when the device fell silent, the
// container's blocks before the silent one and erased bytes after them.
uint32_t flash_crc_after(Path path) {
    if (path != Path::stalled) return kContainerCrc;
    std::string error;
    device::Bytes flash = device::as_flash(*device::read_program(kContainer, error));
    std::fill(flash.begin() + kSilentBlock * WRITE_BLOCK_SIZE, flash.end(), uint8_t{0xFF});
    return fullcalk_crc32(flash.data(), IMAGE_SIZE, CRC32_POLY);
}

// The CRC the device reports to CMD_GETCRC_FLASH after the write.
uint32_t reported_crc(const DeviceRun& d) {
    return flash_crc_after(d.path) ^ (d.wrong_crc ? 1u : 0u);
}

std::string opening_steps() {
    return reply_line("CMD_NOP", 0) + reply_line("CMD_ACTIVATE_BL", 1) +
           reply_line("CMD_GET_CONFIG", 9) + "Переход на UP1\nПрограммирование возможно\n" +
           reply_line("CMD_UNBLOCK_FLASH", 2);
}

// The erase, the password and the blocks before `blocks`.
std::string writes(uint32_t blocks) {
    std::string t = reply_line("CMD_ERASE_UP_FLASH", 3) + reply_line("CMD_SET_PASS_BIN", 4);
    for (uint32_t block = 0; block < blocks; ++block) {
        t += reply_line("CMD_WRITE_UP_FLASH", 5) + " NPW:" + std::to_string(block) + "; Adr: 0h" +
             hex(FLASH_BASE + block * WRITE_BLOCK_SIZE) + "; \n";
    }
    return t;
}

// A whole write pass and the flash CRC read back.
std::string write_pass(const DeviceRun& d) {
    return writes(IMAGE_SIZE / WRITE_BLOCK_SIZE) + reply_line("CMD_GETCRC_FLASH", 6) +
           "FLASH UP1 CRC32: 0h" + hex(reported_crc(d)) + " \n";
}

std::string update_dialogue(const DeviceRun& d) {
    const std::string again =
        "CRC32 FLASH UP1 не совпадает с образом (0h" + hex(kContainerCrc) + "), повторяем запись\n";
    const std::string head = opening_steps();
    switch (d.path) {
        case Path::verify_failed:
            return head + write_pass(d) + again + write_pass(d) + again + write_pass(d) +
                   "Обновление не удалось, переход в приложение не выполняется\n" + kClosing;
        case Path::jump_unconfirmed: {
            std::string t = head + write_pass(d);
            for (int n = 0; n < 5; ++n) t += "Error Net_Handler CMD_JUMP_TO_APP\n";
            return t + "Ответ на CMD_JUMP_TO_APP не получен\n" + kClosing;
        }
        case Path::stalled:
            return head + writes(kSilentBlock) + "[REPEATS]Устройство не отвечает " +
                   std::to_string(kStallSeconds) + " с, обмен прерван\n" + kClosing;
        default:
            return head + write_pass(d) + reply_line("CMD_JUMP_TO_APP", 7) + kClosing;
    }
}

std::string after_decision(const DeviceRun& d) {
    switch (d.path) {
        case Path::jump:
            return "Передаем обнаруженному устройству команду CMD_JUMP_TO_APP.\n" +
                   reply_line("CMD_JUMP_TO_APP", 7) + kClosing;
        case Path::ignore:
            return "Игнорируем обнаруженное устройство.\nОжидаем что оно перейдет на UP по "
                   "таймауту.\n" +
                   kSep;
        default:
            return update_dialogue(d);
    }
}

// What the server prints for a device whose `announced` broadcasts it has handled.
std::string server_text(const DeviceRun& d, uint64_t announced) {
    std::string t;
    for (uint64_t n = 0; n < announced; ++n) {
        t += "[WAITING]" + report(d, n) + "Анализ необходимости обновления:\n" + d.decision + kSep +
             after_decision(d);
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

// The commands a device receives on a path, in the order of kCommandNames.
std::array<int, 9> commands_on(Path path) {
    switch (path) {
        case Path::update:
            return {1, 1, 1, 1, 1, 1, 480, 1, 1};
        case Path::jump:
            return {0, 0, 0, 0, 0, 0, 0, 0, 1};
        case Path::ignore:
            return {};
        case Path::verify_failed:
            return {1, 1, 1, 1, 3, 3, 1440, 3, 0};
        case Path::jump_unconfirmed:
            return {1, 1, 1, 1, 1, 1, 480, 1, 5};
        case Path::stalled:
            return {1, 1, 1, 1, 1, 1, kSilentBlock, 0, 0};
    }
    return {};
}

int sum(const std::array<int, 9>& counts) {
    int n = 0;
    for (const int c : counts) n += c;
    return n;
}

bool jumps(Path path) { return path == Path::update || path == Path::jump; }
bool writes_flash(Path path) { return path != Path::jump && path != Path::ignore; }
int muted_on(Path path) { return path == Path::jump_unconfirmed ? 5 : 0; }

std::string lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    return s;
}

std::string hex8(uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

// The summary's last line, for programs; the counts that vary masked as masked_count does.
std::string result_line(const DeviceRun& d, uint32_t crc_after, uint32_t crc_told) {
    const std::array<int, 9> counts = commands_on(d.path);
    const int replies = sum(counts) - muted_on(d.path);
    std::string t = std::string("result: jumped=") + (jumps(d.path) ? "1" : "0") +
                    " flash_ok=" + (d.expect.empty() ? "none" : "1") +
                    " commands=" + std::to_string(sum(counts)) + " invalid=0";
    for (size_t i = 0; i < counts.size(); ++i) {
        t += " " + lower(kCommandNames[i]) + "=" + std::to_string(counts[i]);
    }
    return t + " cmd_other=0 blocks=" + std::to_string(counts[6]) + " crc=" + hex8(crc_after) +
           " reported_crc=" + hex8(crc_told) + " announcements=[N] replies=" +
           std::to_string(replies) + " lost=0 damaged=0 refused=0 duplicated=0 muted=" +
           std::to_string(muted_on(d.path)) + " dropped_silent=" +
           (d.path == Path::stalled ? "[N]" : "0") + " send_failures=0\n";
}

std::string device_output(const DeviceRun& d) {
    const std::array<int, 9> counts = commands_on(d.path);
    std::string commands;
    for (size_t i = 0; i < counts.size(); ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "  %-20s %d\n", kCommandNames[i], counts[i]);
        commands += line;
    }
    const int replies = sum(counts) - muted_on(d.path);
    const uint32_t crc_after = writes_flash(d.path) ? flash_crc_after(d.path) : d.crc_uflash;
    const uint32_t crc_told = crc_after ^ (d.wrong_crc ? 1u : 0u);
    std::string t = "qd-devsim: устройство " + ip_of(d.n) + ", MAC " + d.mac + ", CRC32 UP1: 0h" +
                    hex(d.crc_uflash) + "\nОбъявления на 198.18.0.255:5008 каждые " +
                    std::to_string(d.interval_ms) + " мс\n";
    if (jumps(d.path)) t += "Ответ на CMD_JUMP_TO_APP отправлен, объявления прекращены.\n";
    t += kSep + "qd-devsim " + ip_of(d.n) + ": итог\nПолучено команд:\n" + commands +
         "Недействительных датаграмм: 0\nОбъявлений отправлено: [N]\nОтветов отправлено: " +
         std::to_string(replies) + "; потеряно: 0; повреждено: 0\n";
    if (d.path == Path::stalled) t += "Отброшено датаграмм в молчании: [N]\n";
    if (muted_on(d.path) != 0) {
        t += "Команд без ответа (--mute): " + std::to_string(muted_on(d.path)) + "\n";
    }
    t += "Записано блоков: " + std::to_string(counts[6]) + "\nCRC32 FLASH UP1: 0h" +
         hex(crc_after) + "\n";
    if (crc_told != crc_after) {
        t += "CRC32 в ответах на CMD_GETCRC_FLASH: 0h" + hex(crc_told) + " (--wrong-crc)\n";
    }
    t += jumps(d.path) ? "Переход на приложение: выполнен\n"
                       : "Переход на приложение: НЕ выполнен, время истекло\n";
    if (!d.expect.empty()) t += "FLASH UP1 и " + d.expect + ": совпадают\n";
    return t + kSep + result_line(d, crc_after, crc_told);
}

// The counts that depend on time: announcements, and datagrams dropped while silent.
std::string masked_count(const std::string& out) {
    std::string t = std::regex_replace(out, std::regex(R"(Объявлений отправлено: \d+)"),
                                       "Объявлений отправлено: [N]");
    t = std::regex_replace(t, std::regex(R"(Отброшено датаграмм в молчании: \d+)"),
                           "Отброшено датаграмм в молчании: [N]");
    t = std::regex_replace(t, std::regex(R"( dropped_silent=[1-9]\d* )"), " dropped_silent=[N] ");
    return std::regex_replace(t, std::regex(R"( announcements=\d+ )"), " announcements=[N] ");
}

// --- the server's configuration and banner -------------------------------------------------

struct ServerSetup {
    int auto_prog;
    int auto_jump;
    std::string na;  // allowlist entry NA, six decimal numbers with dots, or empty
    // Reply-paced, the pauses only bound the wait for a reply: a device held up for a few
    // milliseconds changes nothing.
    bool reply_paced = false;
    int delay = 5;  // DelayFrames and DelayWrite
    int verify_flash = 1;
    int stall_timeout = 60;
};

std::string ini_text(const ServerSetup& s) {
    const std::string delay = std::to_string(s.delay);
    return "[DEVICE]\nNA=" + s.na +
           "\n[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=" + std::to_string(s.auto_prog) +
           "\nAutoJumpApp=" + std::to_string(s.auto_jump) + "\nDelayWrite=" + delay +
           "\nDelayFrames=" + delay + "\nReplyPaced=" + (s.reply_paced ? "1" : "0") +
           "\nVerifyFlash=" + std::to_string(s.verify_flash) +
           "\nStallTimeout=" + std::to_string(s.stall_timeout) +
           "\n[FILE]\nBinContainer=D718226B.upk\nTypeContainer=0\n"
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

std::vector<std::string> devsim_args(const DeviceRun& d) {
    std::vector<std::string> args{"--address",  ip_of(d.n),  "--time-limit",
                                  kDeviceLimit, "--interval", std::to_string(d.interval_ms)};
    args.insert(args.end(), d.args.begin(), d.args.end());
    return args;
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
    test::Bench bench(2, ini_text(setup));
    if (!bench.error().empty()) return RunEnd{bench.error(), {}, {}, {}};
    end.banner = banner(bench.dir() / "t.ini", setup);
    uint64_t broadcasts = 0;
    for (size_t i = 0; i < devices.size() && end.trouble.empty(); ++i) {
        std::unique_ptr<Process> dev = bench.device("device" + std::to_string(i),
                                                    devsim_args(devices[i]));
        DeviceEnd& d = end.devices.emplace_back(DeviceEnd{dev->wait_for(kDeviceMs), {}});
        if (!d.status) dev->stop();
        d.output = dev->output();
        broadcasts += summary_number(d.output, "Объявлений отправлено: ");
        if (!settled(bench.server(), broadcasts)) {
            end.trouble = "the server did not report every broadcast";
        }
    }
    bench.server().stop();
    end.transcript = bench.transcript();
    return end;
}

uint64_t dialogue_replies(Path path) {
    return static_cast<uint64_t>(sum(commands_on(path)) - muted_on(path));
}

// The machine held a device up so long that its reply came after the server's pause: the
// server then repeats the command and takes later replies for later steps, as it must. Such a
// run shows in the device's own counts: beside the commands whose reply it lost or damaged on
// purpose, it received more commands than the dialogue needs (a repeated command; also the
// repeated jump after a late answer to the first, which a device that has jumped no longer
// answers), or answered more.
bool held_up(const DeviceEnd& d, Path path) {
    const uint64_t damaged = summary_number(d.output, "повреждено: ");
    const uint64_t spoilt = summary_number(d.output, "потеряно: ") + damaged;
    return summary_number(d.output, " commands=") >
               static_cast<uint64_t>(sum(commands_on(path))) + spoilt ||
           summary_number(d.output, "Ответов отправлено: ") > dialogue_replies(path) + damaged;
}

constexpr int kAttempts = 3;

// A run that the machine held up is tried again with pauses of at least kRetryDelayMs: the
// transcript does not show the pauses, and a device held up for a few milliseconds still
// answers within them. Reply-paced pauses only bound the wait: they stay as they are.
constexpr int kRetryDelayMs = 10;

ServerSetup for_retry(ServerSetup s) {
    if (!s.reply_paced) s.delay = std::max(s.delay, kRetryDelayMs);
    return s;
}

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

// An erased device updated with AutoProg=2, its flash compared with the container at the end
// (unless it falls silent before the end of the write).
DeviceRun field_device(int n, const std::string& mac, Path path, std::vector<std::string> more) {
    DeviceRun d = erased_device(n, mac, kAnyVerdict, path);
    d.args.insert(d.args.end(), more.begin(), more.end());
    if (path != Path::stalled) {
        d.args.insert(d.args.end(), {"--expect", kContainer});
        d.expect = kContainer;
    }
    d.status = jumps(path) ? 0 : 3;
    d.wrong_crc = std::find(more.begin(), more.end(), "--wrong-crc") != more.end();
    return d;
}

// Faults of the field, reply-paced: a device whose flash CRC never matches, one whose jump is
// never answered, one that falls silent for ever; after each the next device is updated. Each
// device left in its bootloader ends by its own time limit, after the server has given it up
// and before it would announce itself again.
std::vector<Case> field_cases() {
    const ServerSetup paced{2, 0, "", true, 100};
    ServerSetup unchecked = paced;
    unchecked.verify_flash = 0;
    ServerSetup stall = paced;
    stall.stall_timeout = kStallSeconds;
    const DeviceRun next = field_device(2, kOtherMac, Path::update, {});
    const std::string silence = std::to_string(kSilentFrom) + ":forever";
    return {
        {"WrongFlashCrcNeverSentToItsApplication",
         paced,
         {field_device(1, kListedMac, Path::verify_failed, {"--wrong-crc", "--time-limit", "5000"}),
          next}},
        {"WrongFlashCrcUncheckedWithVerifyFlashOff",
         unchecked,
         {field_device(1, kListedMac, Path::update, {"--wrong-crc"})}},
        {"JumpNeverAnswered",
         paced,
         {field_device(1, kListedMac, Path::jump_unconfirmed,
                       {"--mute", "CMD_JUMP_TO_APP", "--time-limit", "5000"}),
          next}},
        {"SilentForeverGivenUp",
         stall,
         {field_device(1, kListedMac, Path::stalled, {"--silent", silence, "--time-limit", "9000"}),
          next}},
    };
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

std::vector<Case> all_cases() {
    std::vector<Case> all = cases();
    for (Case& c : field_cases()) all.push_back(std::move(c));
    return all;
}

class Dialogue : public ::testing::TestWithParam<Case> {};

INSTANTIATE_TEST_SUITE_P(Cases, Dialogue, ::testing::ValuesIn(all_cases()),
                         [](const auto& c) { return std::string(c.param.name); });

// What the server must print in a run: its banner and each device's dialogue.
std::string expected_transcript(const RunEnd& end, const std::vector<DeviceRun>& devices) {
    std::string expected = end.banner;
    for (size_t i = 0; i < devices.size() && i < end.devices.size(); ++i) {
        expected += server_text(devices[i],
                                summary_number(end.devices[i].output, "Объявлений отправлено: "));
    }
    return expected + "[WAITING]";
}

// A late reply shows on the server's side too: a failed attempt more than the run has on
// purpose. That is the only trace of a late answer to the jump from a device that has ended
// since (the repeated jump reaches no one).
bool failed_attempts_added(const RunEnd& end, const std::vector<DeviceRun>& devices) {
    const std::string failed = "Error Net_Handler";
    return count(repeats_masked(masked(end.transcript)), failed) >
           count(expected_transcript(end, devices), failed);
}

TEST_P(Dialogue, ServerTranscriptAndDeviceSummariesAreWhole) {
    const Case& c = GetParam();
    RunEnd end;
    ServerSetup setup = c.server;
    for (int attempt = 1; attempt <= kAttempts; ++attempt, setup = for_retry(setup)) {
        end = run(setup, c.devices);
        bool again = end.trouble.empty() && failed_attempts_added(end, c.devices);
        for (size_t i = 0; i < end.devices.size(); ++i) {
            again = again || held_up(end.devices[i], c.devices[i].path);
        }
        if (!again) break;
        std::printf("attempt %d held up by the machine: a reply came late (pauses of %d ms)\n",
                    attempt, setup.delay);
    }
    ASSERT_EQ(end.trouble, "");
    ASSERT_EQ(end.devices.size(), c.devices.size());
    for (size_t i = 0; i < c.devices.size(); ++i) {
        const DeviceRun& d = c.devices[i];
        const DeviceEnd& got = end.devices[i];
        SCOPED_TRACE(ip_of(d.n));
        ASSERT_TRUE(got.status.has_value()) << got.output;
        EXPECT_EQ(*got.status, d.status) << got.output;
        EXPECT_TRUE(same_text(device_output(d), masked_count(got.output)));
        EXPECT_GE(summary_number(got.output, "Объявлений отправлено: "), 1u);
    }
    const std::string expected = expected_transcript(end, c.devices);
    EXPECT_TRUE(same_text(expected, repeats_masked(masked(end.transcript))));
    EXPECT_TRUE(counters_run_on(end.transcript));
}

// Some replies lost and some damaged, the same ones in every run (a fixed seed): the server
// repeats each of those commands once more, and the update completes all the same.
TEST(LossyDevice, UpdateCompletesAndTheFlashEqualsTheContainer) {
    DeviceRun d = erased_device(1, kListedMac, kAnyVerdict, Path::update);
    d.args.insert(d.args.end(),
                  {"--loss", "0.03", "--damage", "0.03", "--seed", "5", "--expect", kContainer});
    RunEnd end;
    ServerSetup setup{2, 0, ""};
    for (int attempt = 1; attempt <= kAttempts; ++attempt, setup = for_retry(setup)) {
        end = run(setup, {d});
        if (end.devices.empty() || !held_up(end.devices[0], Path::update)) break;
        std::printf("attempt %d held up by the machine: a reply came late (pauses of %d ms)\n",
                    attempt, setup.delay);
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
