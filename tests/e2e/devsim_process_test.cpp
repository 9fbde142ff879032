// The qd-devsim program as a developer starts it: its help, its exit codes for bad options,
// for an address it cannot have and for a time limit without a jump, and the charset of its
// console. Where it binds, it does so in a network namespace of its own with only loopback.
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <regex>
#include <string>
#include "support/text.hpp"

namespace {

using qd::test::to_utf8;

namespace fs = std::filesystem;

const std::string kDevsim = QD_DEVSIM_EXE;
const std::string kHint = "Справка: qd-devsim --help\n";

struct Outcome {
    std::string out;  // standard output and error, as bytes
    int status;       // exit status, or 128 + signal
};

// The command is bounded by `timeout` whatever it does.
Outcome run(const std::string& command) {
    Outcome r{{}, -1};
    FILE* p = ::popen(("timeout -s KILL 20 " + command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}


const std::string kUtf8 = "env QD_CONSOLE_CHARSET=utf-8 ";

// The locale's charset decides, for a pipe as for a terminal: UTF-8 in the C locale, unless
// Windows-1251 is asked for.
TEST(DevsimProcess, HelpFollowsTheLocaleUnlessACharsetIsAsked) {
    const Outcome plain = run("env QD_CONSOLE_CHARSET=cp1251 " + kDevsim +
                              " --help");
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out.find("\xD0\xBC"), std::string::npos) << "expected Windows-1251, not UTF-8";
    const Outcome c_locale = run("env -u QD_CONSOLE_CHARSET LC_ALL=C " + kDevsim + " -h");
    const Outcome utf8 = run(kUtf8 + kDevsim + " -h");
    EXPECT_EQ(c_locale.out, utf8.out);
    EXPECT_EQ(utf8.status, 0);
    EXPECT_EQ(to_utf8(plain.out), utf8.out);
    EXPECT_EQ(utf8.out.rfind("qd-devsim - модель загрузчика устройства", 0), 0u) << utf8.out;
    for (const char* option :
         {"--address", "--broadcast", "--mac",        "--hw-version", "--bl-version",
          "--key",     "--bl-crc",    "--flash",      "--password",   "--jumper",
          "--up2",     "--interval",  "--reply-time", "--after-jump", "--time-limit",
          "--expect",  "--loss",      "--loss-at",    "--damage",     "--damage-at",
          "--refuse",  "--duplicate", "--seed",       "--refuse-share", "--duplicate-share",
          "--silent"}) {
        EXPECT_NE(utf8.out.find(std::string("  ") + option + " "), std::string::npos) << option;
    }
}

struct BadRun {
    const char* name;
    std::string args;
    std::string first_line;
};

void PrintTo(const BadRun& c, std::ostream* os) { *os << c.name; }

class BadCommandLine : public ::testing::TestWithParam<BadRun> {};

// One file per test process: ctest runs the cases side by side.
const std::string kTooBig =
    (fs::temp_directory_path() / ("qd-devsim-too-big-" + std::to_string(::getpid()) + ".bin"))
        .string();

INSTANTIATE_TEST_SUITE_P(
    Cases, BadCommandLine,
    ::testing::Values(
        BadRun{"NoArguments", "", "qd-devsim: не задан адрес устройства (--address)"},
        BadRun{"BadMac", "--address 198.18.0.2 --mac 1.2.3",
               "qd-devsim: неверное значение --mac 1.2.3 (нужно: MAC: 0.128.225.1.2.255 или "
               "00:80:E1:01:02:FF)"},
        BadRun{"MissingFlashFile", "--address 198.18.0.2 --flash /nonexistent/soft.bin",
               "qd-devsim: не удалось открыть файл /nonexistent/soft.bin"},
        BadRun{"ImageLargerThanTheFlash", "--address 198.18.0.2 --expect " + kTooBig,
               "qd-devsim: файл " + kTooBig + " больше области UP1 (122880 байт)"}),
    [](const auto& c) { return std::string(c.param.name); });

// Exit status 2 and the reason, without touching the network.
TEST_P(BadCommandLine, EndsWithStatus2AndTheReason) {
    std::ofstream(kTooBig, std::ios::binary) << std::string(122881, 'x');
    const Outcome r = run(kUtf8 + kDevsim + " " + GetParam().args);
    fs::remove(kTooBig);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, GetParam().first_line + "\n" + kHint);
}

// An address that no link of the namespace holds cannot be bound: status 4.
TEST(DevsimProcess, AddressNotOnThisHostEndsWithStatus4) {
    const Outcome r = run(kUtf8 + "unshare -rn sh -c 'ip link set lo up && exec " + kDevsim +
                          " --address 198.18.0.2 --time-limit 100'");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out,
              "qd-devsim: адрес 198.18.0.2, порт 5008 недоступен: bind: Cannot assign requested "
              "address\n");
}

// On loopback, announcing to itself: its own announcements are no commands and are ignored;
// no jump comes, so the time limit ends it with status 3 and the summary says so.
TEST(DevsimProcess, TimeLimitWithoutAJumpEndsWithStatus3) {
    const Outcome r = run(kUtf8 + "unshare -rn sh -c 'ip link set lo up && exec " + kDevsim +
                          " --address 127.0.0.1 --broadcast 127.0.0.1 --interval 100 "
                          "--time-limit 450'");
    EXPECT_EQ(r.status, 3) << r.out;
    const std::smatch m = [&] {
        std::smatch found;
        std::regex_search(r.out, found, std::regex(R"(Объявлений отправлено: (\d+)\n)"));
        return found;
    }();
    ASSERT_FALSE(m.empty()) << r.out;
    const std::string n = m[1];
    EXPECT_NE(n, "0");
    const std::string sep(56, '-');
    const std::string none = "0\n";
    EXPECT_EQ(r.out,
              "qd-devsim: устройство 127.0.0.1, MAC 0:128:225:1:2:255, CRC32 UP1: 0h7EF40B2C\n"
              "Объявления на 127.0.0.1:5008 каждые 100 мс\n" +
                  sep + "\nqd-devsim 127.0.0.1: итог\nПолучено команд:\n" +
                  "  CMD_NOP              0\n  CMD_ACTIVATE_BL      0\n  CMD_GET_CONFIG       0\n"
                  "  CMD_UNBLOCK_FLASH    0\n  CMD_ERASE_UP_FLASH   0\n  CMD_SET_PASS_BIN     0\n"
                  "  CMD_WRITE_UP_FLASH   0\n  CMD_GETCRC_FLASH     0\n  CMD_JUMP_TO_APP      0\n"
                  "Недействительных датаграмм: " +
                  n + "\nОбъявлений отправлено: " + n +
                  "\nОтветов отправлено: 0; потеряно: 0; повреждено: 0\nЗаписано блоков: 0\n"
                  "CRC32 FLASH UP1: 0h7EF40B2C\n"
                  "Переход на приложение: НЕ выполнен, время истекло\n" +
                  sep +
                  "\nresult: jumped=0 flash_ok=none commands=0 invalid=" + n +
                  " cmd_nop=0 cmd_activate_bl=0 cmd_get_config=0 cmd_unblock_flash=0 "
                  "cmd_erase_up_flash=0 cmd_set_pass_bin=0 cmd_write_up_flash=0 "
                  "cmd_getcrc_flash=0 cmd_jump_to_app=0 cmd_other=0 blocks=0 crc=7EF40B2C "
                  "reported_crc=7EF40B2C announcements=" + n +
                  " replies=0 lost=0 damaged=0 refused=0 duplicated=0 muted=0 "
                  "dropped_silent=0 send_failures=0\n");
}

}  // namespace
