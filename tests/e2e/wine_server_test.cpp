// qd-server.exe, the Windows program, under Wine on the test network (tests/e2e/testnet.sh):
// the server runs on the server's side, a device model on the device's side announces itself by
// broadcast and answers on real UDP. The Windows build's tests run this program with
//   QD_WINDOWS_SERVER_EXE  the qd-server.exe to run
//   QD_WINE_RUN            tests/wine/wine-run
// Wine creates its sockets in its server process (wineserver), so that process must start on
// the server's side: the suite makes a Wine folder of its own, whose wineserver the first start
// of qd-server.exe brings up there, and ends that wineserver at the end. The suite also moves
// into a mount namespace of its own before that wineserver starts, which opens the files of the
// Windows programs: a small disk that a test mounts there is seen by it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "device/bootloader.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "support/child_process.hpp"
#include "support/csv.hpp"
#include "support/junk_stream.hpp"
#include "support/mounts.hpp"
#include "support/private_net.hpp"
#include "support/pty_process.hpp"
#include "support/rack_console.hpp"
#include "support/temp_dir.hpp"
#include "support/testnet.hpp"
#include "support/udp.hpp"
#include "support/text.hpp"

namespace qd {
namespace {

using test::convert;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test::ChildProcess;
using test::TestNetwork;
using test::UdpSocket;

// What Wine makes of the exit code 0xC000013A, which Windows gives a program ended by Ctrl+C.
constexpr int kEndedByCtrlC = 0x3A;
const std::string kSep = std::string(56, '-') + "\n";

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string read_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}


std::string replaced(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

// The bytes a Windows console program writes for a UTF-8 text: Windows-1251, CR LF line ends.
std::string windows_bytes(const std::string& utf8) {
    return replaced(convert(utf8, "CP1251", "UTF-8"), "\n", "\r\n");
}

// The console bytes as UTF-8 text with LF line ends, for searching.
std::string as_text(const std::string& bytes) {
    return replaced(convert(bytes, "UTF-8", "CP1251"), "\r\n", "\n");
}

// Time stamps and the build date and time hidden (all ASCII, so on the bytes as they are).
std::string masked(const std::string& bytes) {
    const std::string t = std::regex_replace(
        bytes, std::regex(R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\])"), "[TIME]");
    return std::regex_replace(t, std::regex(R"([A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d)"),
                              "DATE");
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A path of this system as the Windows program sees it under Wine (drive Z: is the root).
std::string windows_path(const fs::path& p) { return "Z:" + replaced(p.string(), "/", "\\"); }

class WineServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Before any wineserver starts (a case that mounts says what went wrong, if anything).
        static_cast<void>(test::enter_private_mounts());
        net_ = new TestNetwork(4);  // the rack test's four devices
        wine_dir_ = new test::TempWorkDir();
    }

    static void TearDownTestSuite() {
        if (wine_dir_ != nullptr && !env("QD_WINE_RUN").empty()) {
            test::shell("WINEPREFIX='" + prefix().string() + "' '" + env("QD_WINE_RUN") +
                        "' --end 2>/dev/null || true");
        }
        delete wine_dir_;
        delete net_;
        wine_dir_ = nullptr;
        net_ = nullptr;
    }

    void SetUp() override {
        ASSERT_EQ(net_->error(), "");
        ASSERT_NE(exe_, "") << "QD_WINDOWS_SERVER_EXE must name qd-server.exe";
        ASSERT_NE(wine_run_, "") << "QD_WINE_RUN must name tests/wine/wine-run";
    }

    static fs::path prefix() { return wine_dir_->path() / "wine"; }

    // Starts qd-server.exe on the server's side with the INI file of the working directory.
    std::unique_ptr<ChildProcess> start_server(const std::string& ini, const std::string& out) {
        return start_program({ini}, work.path() / out);
    }

    // Starts qd-server.exe on the server's side in the working directory with the arguments;
    // its console goes to `out`, its errors beside it.
    std::unique_ptr<ChildProcess> start_program(const std::vector<std::string>& args,
                                                const fs::path& out) {
        std::vector<std::string> argv{"bash", QD_TESTNET_SH, "exec-server", net_->name(), "env",
                                      "WINEPREFIX=" + prefix().string(), wine_run_, exe_};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>(argv, work.path(), out, out.string() + ".err");
    }

    // Waits at most `seconds` for a text (UTF-8) in the console output of a start.
    bool wait_for(const std::string& out, const std::string& text, int seconds) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (as_text(console(out)).find(text) == std::string::npos) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    // Waits at most `seconds` until a text (UTF-8) is in the console output `count` times.
    bool wait_for_count(const std::string& out, const std::string& text, size_t count,
                        int seconds) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (count_of(as_text(console(out)), text) < count) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    // An example file (examples/) copied into the working directory.
    void copy_example(const char* name) const {
        fs::copy_file(fs::path(QD_EXAMPLES_DIR) / name, work.path() / name);
    }

    std::string console(const std::string& out) const { return read_bytes(work.path() / out); }
    std::string errors(const std::string& out) const {
        return read_bytes(work.path() / (out + ".err"));
    }

    static TestNetwork* net_;
    static test::TempWorkDir* wine_dir_;
    const std::string exe_ = env("QD_WINDOWS_SERVER_EXE");
    const std::string wine_run_ = env("QD_WINE_RUN");
    test::TempWorkDir work;
};

TestNetwork* WineServer::net_ = nullptr;
test::TempWorkDir* WineServer::wine_dir_ = nullptr;

// --- the device ------------------------------------------------------------------------------

device::DeviceConfig device_config() {
    device::DeviceConfig c;
    c.mac = {0, 128, 225, 1, 2, 255};  // on the example configuration's allowlist
    c.ip = {198, 18, 0, 2};
    c.bin_password = 0x1A2B3C4D;  // the example configuration's PassBinContainer
    return c;
}

// What a test does on each turn of serve(), while the device is served.
using Tick = std::function<void(const device::Bootloader&)>;

// Announces the device by broadcast every 250 ms until the first command comes, then answers
// every command at once; ends when the device has jumped to its application or at the deadline.
bool serve(UdpSocket& so, device::Bootloader& dev, std::chrono::seconds limit,
           const Tick& tick = {}) {
    const auto deadline = Clock::now() + limit;
    auto next_announcement = Clock::now();
    while (!dev.jumped() && Clock::now() < deadline) {
        if (tick) tick(dev);
        if (dev.valid_commands() == 0 && Clock::now() >= next_announcement) {
            so.send_to(TestNetwork::kBroadcast, UPDATE_PORT, dev.announcement());
            next_announcement = Clock::now() + std::chrono::milliseconds(250);
        }
        const auto d = so.receive(50);
        if (!d) continue;
        for (const auto& r : dev.handle(d->data.data(), d->data.size())) {
            so.send_to(TestNetwork::kServerIp, static_cast<uint16_t>(r.to_port), r.bytes);
        }
    }
    return dev.jumped();
}

// --- expected console text ---------------------------------------------------------------------

std::string expected_startup(const fs::path& ini, const std::string& adapters) {
    return kSep + "[TIME]\nСервер обновлений VELMORAN QD \nВерсия ПО: 1.3A Сборка: DATE \n" +
           "Набор функций A - минимальный\nСтатус ПО: release\n" + kSep +
           "Конфигурация: " + windows_path(ini) + " \n" + "Файл ini прочитан!\n" + kSep +
           "Открываем .upk файл (D718226B.upk) размер файла: 122880 byte\n" +
           "Прочитано в память: 122880 byte\n" + "Проверка CRC32 (0x4c11DB7): D718226B \n" + kSep +
           "Обновление ПО только для устройств с сер.N:\n" +
           "0.128.225.1.2.255 \n0.0.0.0.0.0 \n0.0.0.0.0.0 \n0.0.0.0.0.0 \n" + kSep +
           "Обнаружены ETH адаптеры:\n" + adapters + kSep + "Старт сервера обновлений... \n";
}

// Each text is found after the one before it; the first missing one, or nothing.
std::optional<std::string> missing_in_order(const std::string& text,
                                            const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const auto& p : parts) {
        at = text.find(p, at);
        if (at == std::string::npos) return p;
        at += p.size();
    }
    return std::nullopt;
}

TEST_F(WineServer, UpdatesADeviceCompletelyWithTheExampleConfiguration) {
    for (const char* f : {"qd-server.ini", "D718226B.upk"}) copy_example(f);
    const std::string container = read_bytes(work.path() / "D718226B.upk");
    device::Bootloader dev(device_config());
    const uint32_t old_crc = dev.flash_crc();
    UdpSocket so = net_->in_device([] { return UdpSocket(); });
    ASSERT_TRUE(so.bind(TestNetwork::device_ip(1), UPDATE_PORT));
    so.allow_broadcast();

    auto server = start_server("qd-server.ini", "console.bin");
    const bool updated = serve(so, dev, std::chrono::seconds(150));
    const bool waiting_again =
        updated && wait_for("console.bin", "Ожидаем широковещательное сообщение от следующего "
                                           "устройства.\n" + kSep, 30);
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string bytes = console("console.bin");
    ASSERT_TRUE(updated) << as_text(bytes) << errors("console.bin");
    ASSERT_TRUE(waiting_again) << as_text(bytes);

    EXPECT_EQ(std::string(dev.flash().begin(), dev.flash().end()), container);

    // Start-up, byte for byte: Windows-1251 and CR LF, the one veth of the server's side listed.
    const std::string start_end = windows_bytes("Старт сервера обновлений... \n");
    const size_t end = bytes.find(start_end);
    ASSERT_NE(end, std::string::npos) << as_text(bytes);
    const std::string startup = masked(bytes.substr(0, end + start_end.size()));
    const std::string heading = windows_bytes("Обнаружены ETH адаптеры:\n");
    const size_t list = startup.find(heading) + heading.size();
    const size_t list_end = startup.find(windows_bytes(kSep), list);
    ASSERT_NE(list_end, std::string::npos) << as_text(startup);
    const std::string adapters = startup.substr(list, list_end - list);
    EXPECT_TRUE(std::regex_match(
        adapters, std::regex(R"([^;\r\n]+; [^\r\n]*, \r\n)"
                             R"(IP: 198\.18\.0\.1; MAC: 02:51:44:00:00:01; Masc: 255\.255\.255\.0)"
                             "\r\n\r\n")))
        << as_text(adapters);
    EXPECT_EQ(startup, windows_bytes(expected_startup(work.path() / "qd-server.ini",
                                                      as_text(adapters))));

    // The dialogue: the device's report, the decision and every step of the update.
    char crc_text[9];
    std::snprintf(crc_text, sizeof crc_text, "%X", old_crc);
    const std::string text = as_text(masked(bytes.substr(end)));
    std::vector<std::string> steps = {
        "Принято широковещательное сообщение от обновляемого устройства (dev)\n",
        "MAC dev/serNum: 0:128:225:1:2:255\n", "IP dev: 198.18.0.2 \n", "Port dev: 5008 \n",
        "CRC32 текущей пользовательской программы UP1: 0h" + std::string(crc_text) + " \n",
        "Имя bin файла для обновления: D718226B.upk; CRC32 текущей программы UP1: " +
            std::string(crc_text) + " \n",
        "ПО в файле и существующее ПО НЕ совпадают!\n", "Автообновление ПО по списку разрешено!\n",
        "Сер. номер найден в списке\n", "[TIME]CMD_NOP{0} Res:1 Time:0 ms\n",
        "[TIME]CMD_ACTIVATE_BL{1} Res:1 Time:0 ms\n", "[TIME]CMD_GET_CONFIG{9} Res:1 Time:0 ms\n",
        "Переход на UP1\n", "Программирование возможно\n",
        "[TIME]CMD_UNBLOCK_FLASH{2} Res:1 Time:0 ms\n",
        "[TIME]CMD_ERASE_UP_FLASH{3} Res:1 Time:0 ms\n",
        "[TIME]CMD_SET_PASS_BIN{4} Res:1 Time:0 ms\n"};
    for (int block = 0; block < 480; ++block) {
        char line[64];
        std::snprintf(line, sizeof line, " NPW:%d; Adr: 0h%X; \n", block, 0x08010000 + 256 * block);
        steps.emplace_back(line);
    }
    for (const char* s : {"[TIME]CMD_GETCRC_FLASH{6} Res:1 Time:0 ms\n",
                          "FLASH UP1 CRC32: 0hD718226B \n",
                          "[TIME]CMD_JUMP_TO_APP{7} Res:1 Time:0 ms\n"}) {
        steps.emplace_back(s);
    }
    EXPECT_EQ(missing_in_order(text, steps), std::nullopt) << text;
}

// --- a configuration checked -------------------------------------------------------------------

// qd-server.exe --check: the example configuration beside its container could update a board
// (exit 0); one whose container's name is a CRC-32 its bytes do not give could not (exit 1).
// The lines in Windows-1251 with CR LF, nothing in the folder changed (the console goes to the
// suite's Wine folder).
TEST_F(WineServer, ChecksAConfigurationWithAGoodAndABadContainer) {
    for (const char* f : {"qd-server.ini", "D718226B.upk"}) copy_example(f);
    fs::copy_file(work.path() / "D718226B.upk", work.path() / "1419D4D7.upk");
    std::ofstream(work.path() / "bad.ini")
        << "[DIRECTIVE]\nAutoProg=2\n[FILE]\nBinContainer=1419D4D7.upk\n"
           "[PASS]\nPassBinContainer=1A2B3C4D\n[ID_INI_FILE]\nIdIniFile=136719067\n";
    const test::FolderSnapshot before = test::folder_snapshot(work.path());
    struct Case {
        const char* ini;
        int status;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"qd-server.ini", 0,
         {"Конфигурация: " + windows_path(work.path() / "qd-server.ini") +
              " \nФайл ini прочитан!\n",
          "Проверка CRC32 (0x4c11DB7): D718226B \nОбраз проверен: CRC32 совпадает с именем "
          "файла\n",
          "Плата с другим ПО, сер. номер в списке: обновляется\n",
          "IPv4: 198.18.0.1/255.255.255.0\n", "Порт UDP 5008 свободен\n",
          kSep + "Итог: с этой конфигурацией плата может быть обновлена\n"}},
        {"bad.ini", 1,
         {"Проверка CRC32 (0x4c11DB7): D718226B \nCRC32 образа не совпадает с именем файла, "
          "файл не загружен\n",
          "Плата с другим ПО: подлежит обновлению, но образ не загружен: не обновляется, "
          "игнорируется\n",
          kSep + "Итог: с этой конфигурацией ни одна плата не будет обновлена:\n- контейнер "
                 "1419D4D7.upk отклонен: CRC32 образа не совпадает с именем файла\n"}},
    };
    for (const Case& c : cases) {
        const fs::path out = wine_dir_->path() / (std::string(c.ini) + ".check");
        auto check = start_program({"--check", c.ini}, out);
        EXPECT_EQ(check->wait(120000), c.status) << c.ini << "\n" << as_text(read_bytes(out))
                                                 << read_bytes(out.string() + ".err");
        const std::string bytes = read_bytes(out);
        for (const std::string& line : c.lines) {
            EXPECT_NE(bytes.find(windows_bytes(line)), std::string::npos)
                << c.ini << ": " << line << "\n" << as_text(bytes);
        }
    }
    EXPECT_EQ(test::folder_snapshot(work.path()), before);
}

// --- the update journal ------------------------------------------------------------------------

std::string hex8(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "%08X", v);
    return s;
}

// The journal of one update, [LOG] Journal relative to the server's folder: the header and the
// device's line, each ended by CR LF, the line's fields as the device and the console tell them.
TEST_F(WineServer, KeepsTheJournalWithWindowsLineEnds) {
    std::ofstream(work.path() / "j.ini")
        << "[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=2\nDelayFrames=20\nDelayWrite=5\n"
           "[FILE]\nBinContainer=D718226B.upk\n[PASS]\nPassBinContainer=1A2B3C4D\n"
           "[LOG]\nJournal=updates.csv\n";
    copy_example("D718226B.upk");
    std::vector<uint8_t> image(IMAGE_SIZE, 0xFF);
    const std::string container = read_bytes(work.path() / "D718226B.upk");
    std::copy(container.begin(), container.end(), image.begin());
    const std::string image_crc = hex8(fullcalk_crc32(image.data(), IMAGE_SIZE, CRC32_POLY));
    device::DeviceConfig config = device_config();
    config.ver_hw = 3;
    config.ver_bl = 2;
    device::Bootloader dev(config);
    const std::string old_crc = hex8(dev.flash_crc());
    UdpSocket so = net_->in_device([] { return UdpSocket(); });
    ASSERT_TRUE(so.bind(TestNetwork::device_ip(1), UPDATE_PORT));
    so.allow_broadcast();

    auto server = start_server("j.ini", "journal.bin");
    const bool updated = serve(so, dev, std::chrono::seconds(150));
    const bool waiting_again =
        updated && wait_for("journal.bin", "Ожидаем широковещательное сообщение от следующего "
                                           "устройства.\n" + kSep, 30);
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string text = as_text(console("journal.bin"));
    ASSERT_TRUE(updated) << text << errors("journal.bin");
    ASSERT_TRUE(waiting_again) << text;
    EXPECT_EQ(text.find("Журнал обновлений"), std::string::npos) << text;

    const std::string bytes = read_bytes(work.path() / "updates.csv");
    const std::string header =
        "time,serial,ip,hw,bootloader,crc_before,decision,result,crc_after,image,image_crc,"
        "duration_ms,commands,repeats\r\n";
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    const test::CsvText csv = test::read_csv(bytes, "\r\n");
    ASSERT_EQ(csv.error, "") << bytes;
    ASSERT_EQ(csv.records.size(), 2u) << bytes;
    const std::vector<std::string>& f = csv.records[1];
    ASSERT_EQ(f.size(), 14u) << bytes;
    EXPECT_TRUE(std::regex_match(f[0], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
        << f[0];
    EXPECT_EQ(std::vector<std::string>(f.begin() + 1, f.begin() + 11),
              (std::vector<std::string>{"0.128.225.1.2.255", "198.18.0.2", "3", "2", old_crc,
                                        "update", "updated", image_crc, "D718226B.upk",
                                        image_crc}));
    EXPECT_GT(std::stoll(f[11]), 0) << "no duration";
    EXPECT_EQ(f[12], std::to_string(dev.valid_commands())) << "commands sent";
    EXPECT_EQ(f[13], std::to_string(count_of(text, "Error Net_Handler "))) << "repeats";
}

// --- the journal on a disk that fills up ------------------------------------------------------

const std::string kJournalHeader =
    "time,serial,ip,hw,bootloader,crc_before,decision,result,crc_after,image,image_crc,"
    "duration_ms,commands,repeats";
const std::string kWaitingAgain =
    "Ожидаем широковещательное сообщение от следующего устройства.\n";
const std::string kWriteFailed = "Ошибка записи журнала обновлений: ";

// About the length of a device's line in the journal of the test below.
size_t line_size_guess() {
    return std::string("2026-12-10T13:05:42+03:00,0.128.225.1.2.1,198.18.0.2,3,2,7EF40B2C,update,"
                       "updated,D718226B,D718226B.upk,D718226B,5000,488,0\r\n")
        .size();
}

// A disk's room in bytes.
size_t room(const fs::path& dir) {
    struct statvfs st {};
    if (::statvfs(dir.c_str(), &st) != 0) return 0;
    return static_cast<size_t>(st.f_blocks) * st.f_bsize;
}

// The journal on a small disk (a tmpfs in the suite's mount namespace) that fills up during a
// run: room is left for one device's line and a half; another file takes the rest. Three boards
// are updated: the first's line fits, the second's is cut short by the disk and taken back, said
// once, and journalling stops (the third's is not tried). The file keeps only whole lines. Then,
// with the other file gone, a piece of a line is put at the journal's end, as a power failure in
// the middle of a line leaves it, and the next run's line starts on a line of its own after it:
// no header again, and the new line whole.
TEST_F(WineServer, KeepsOnlyWholeJournalLinesOnADiskThatFillsUp) {
    const fs::path disk = work.path() / "disk";
    constexpr size_t kOther = 4096;  // one page of the tmpfs
    const test::TestMount mount = test::TestMount::tmpfs(disk, 3 * kOther);
    ASSERT_EQ(mount.error(), "");
    test::write_text(disk / "other.bin", std::string(kOther, 'x'));
    const size_t guess = line_size_guess();
    const std::string header_line = kJournalHeader + "\r\n";
    const size_t earlier = room(disk) - kOther - header_line.size() - guess * 3 / 2;
    const std::string before =
        header_line + test::earlier_journal_lines(earlier, "0.128.225.9.9.9", "\r\n");
    test::write_text(disk / "journal.csv", before);
    ASSERT_EQ(read_bytes(disk / "journal.csv"), before) << "the tmpfs took less than its room";
    std::ofstream(work.path() / "full.ini")
        << "[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=2\nDelayFrames=20\nDelayWrite=5\n"
           "[FILE]\nBinContainer=D718226B.upk\n[PASS]\nPassBinContainer=1A2B3C4D\n"
           "[LOG]\nJournal=disk\\journal.csv\n";
    copy_example("D718226B.upk");
    UdpSocket so = net_->in_device([] { return UdpSocket(); });
    ASSERT_TRUE(so.bind(TestNetwork::device_ip(1), UPDATE_PORT));
    so.allow_broadcast();

    // Board n updated by the server whose console is `out`, its `count`th.
    const auto update = [&](uint8_t n, const std::string& out, size_t count) {
        device::DeviceConfig config = device_config();
        config.mac[5] = n;
        config.ver_hw = 3;
        config.ver_bl = 2;
        device::Bootloader dev(config);
        const bool updated = serve(so, dev, std::chrono::seconds(150));
        return updated && wait_for_count(out, kWaitingAgain, count, 30);
    };
    auto server = start_server("full.ini", "full.bin");
    for (uint8_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(update(n, "full.bin", n))
            << int{n} << "\n" << as_text(console("full.bin")) << errors("full.bin");
    }
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string text = as_text(console("full.bin"));
    EXPECT_EQ(count_of(text, kWriteFailed), 1u) << text;
    // Wine's words for a full disk, or Windows' own.
    EXPECT_TRUE(std::regex_search(
        text, std::regex(kWriteFailed + "(Disk full|There is not enough space on the disk)\n")))
        << text;

    const std::string after = read_bytes(disk / "journal.csv");
    ASSERT_EQ(after.compare(0, before.size(), before), 0) << "the earlier lines changed";
    const std::string added = after.substr(before.size());
    const test::CsvText csv = test::read_csv(added, "\r\n");
    ASSERT_EQ(csv.error, "") << added;
    ASSERT_EQ(csv.records.size(), 1u) << added;
    ASSERT_EQ(csv.records[0].size(), 14u) << added;
    EXPECT_EQ(csv.records[0][1], "0.128.225.1.2.1");
    EXPECT_EQ(csv.records[0][7], "updated");
    EXPECT_EQ(added.substr(added.size() - 2), "\r\n") << "a piece of a line at the end";
    // The room left took a part of the second board's line, about as long as the first's.
    const size_t left = room(disk) - kOther - after.size();
    EXPECT_GT(left, 8u);
    EXPECT_LT(left + 8, added.size());

    fs::remove(disk / "other.bin");
    const std::string piece = "2026-12";
    test::write_text(disk / "journal.csv", after + piece);
    server = start_server("full.ini", "again.bin");
    ASSERT_TRUE(update(4, "again.bin", 1)) << as_text(console("again.bin")) << errors("again.bin");
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string again = as_text(console("again.bin"));
    EXPECT_EQ(again.find(kWriteFailed), std::string::npos) << again;
    EXPECT_EQ(again.find("Журнал обновлений"), std::string::npos) << again;
    const std::string last = read_bytes(disk / "journal.csv");
    ASSERT_EQ(last.compare(0, after.size() + piece.size(), after + piece), 0);
    const std::string next = last.substr(after.size() + piece.size());
    ASSERT_EQ(next.substr(0, 2), "\r\n") << "the next line continued the piece: " << next;
    const test::CsvText next_csv = test::read_csv(next.substr(2), "\r\n");
    ASSERT_EQ(next_csv.error, "") << next;
    ASSERT_EQ(next_csv.records.size(), 1u) << next;
    ASSERT_EQ(next_csv.records[0].size(), 14u) << next;
    EXPECT_EQ(next_csv.records[0][1], "0.128.225.1.2.4");
    EXPECT_EQ(next_csv.records[0][7], "updated");
    EXPECT_EQ(count_of(last, kJournalHeader), 1u) << "the header again";
}

// A datagram longer than the 512-byte receive buffer is taken from the socket as an error and
// dropped, never handed on cut short; the broadcast behind it is received.
TEST_F(WineServer, DropsADatagramLongerThanTheReceiveBuffer) {
    std::ofstream(work.path() / "t.ini") << "[DEBUG]\nDebugPrint=2\n";
    auto server = start_server("t.ini", "trace.bin");
    const bool up = wait_for("trace.bin", "Старт сервера обновлений... \n", 120);
    UdpSocket so = net_->in_device([] { return UdpSocket(); });
    device::Bootloader dev(device_config());
    ASSERT_TRUE(so.send_to(TestNetwork::kServerIp, UPDATE_PORT, test::Bytes(600, 0x42)));
    ASSERT_TRUE(so.send_to(TestNetwork::kServerIp, UPDATE_PORT, dev.announcement()));
    const bool received = up && wait_for("trace.bin", "OK! Frame:0\n", 30);
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string text = as_text(console("trace.bin"));
    ASSERT_TRUE(received) << text << errors("trace.bin");
    EXPECT_NE(text.find("   RX byte:180; BC, CRC calc:"), std::string::npos) << text;
    EXPECT_EQ(text.find("RX byte:512"), std::string::npos) << text;
    EXPECT_EQ(text.find("RX byte:600"), std::string::npos) << text;
}

// Ended by Ctrl+C, the server has written everything and leaves port 5008 free: a second server
// started right after binds it.
TEST_F(WineServer, EndedByCtrlCLeavesOutputWholeAndPortFree) {
    std::ofstream(work.path() / "s.ini") << "[DEBUG]\nDebugPrint=1\n";
    const std::string started = "Старт сервера обновлений... \n";
    for (const char* out : {"first.bin", "second.bin"}) {
        SCOPED_TRACE(out);
        auto server = start_server("s.ini", out);
        const bool up = wait_for(out, started + "Ожидание", 120);
        server->signal(SIGINT);
        EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
        const std::string bytes = console(out);
        ASSERT_TRUE(up) << as_text(bytes) << errors(out);
        const std::string text = as_text(bytes);
        EXPECT_NE(text.find(kSep + "Create soc rx ()\nОбнаружены ETH адаптеры:\n"),
                  std::string::npos) << text;
        EXPECT_EQ(text.find("error bind rx"), std::string::npos) << text;
        // Nothing cut: after start-up only whole waiting lines, each ended by its CR.
        const std::string waiting = text.substr(text.rfind('\n') + 1);
        EXPECT_TRUE(std::regex_match(
            waiting, std::regex("(Ожидание широковещательного сообщения от устройства: \\d+ \r)+")))
            << waiting;
    }
}

// --- faults of the field ----------------------------------------------------------------------

// Takes the server's link down once the device has written 200 blocks, and brings it up again
// 3 s later: a tick for serve().
struct LinkOutage {
    const TestNetwork& net;
    std::optional<Clock::time_point> down_since{};
    bool up_again = false;
    std::string error{};

    void operator()(const device::Bootloader& dev) {
        if (!down_since && dev.blocks_written() >= 200) {
            error += net.set_server_link(false);
            down_since = Clock::now();
        } else if (down_since && !up_again && Clock::now() - *down_since >= std::chrono::seconds(3)) {
            error += net.set_server_link(true);
            up_again = true;
        }
    }
};

// The link pulled for 3 s in the middle of the write loop: each send fails with its line and
// counts as a failed attempt, the server goes on, and the update completes once the link is back.
TEST_F(WineServer, LinkDownForSecondsInTheWriteLoopAndTheUpdateCompletes) {
    for (const char* f : {"qd-server.ini", "D718226B.upk"}) copy_example(f);
    const std::string container = read_bytes(work.path() / "D718226B.upk");
    device::Bootloader dev(device_config());
    UdpSocket so = net_->in_device([] { return UdpSocket(); });
    ASSERT_TRUE(so.bind(TestNetwork::device_ip(1), UPDATE_PORT));
    so.allow_broadcast();

    auto server = start_server("qd-server.ini", "link.bin");
    LinkOutage outage{*net_};
    const bool updated = serve(so, dev, std::chrono::seconds(150), std::ref(outage));
    if (outage.down_since && !outage.up_again) outage.error += net_->set_server_link(true);
    const bool waiting_again =
        updated && wait_for("link.bin", "Ожидаем широковещательное сообщение от следующего "
                                        "устройства.\n" + kSep, 30);
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC) << "the server did not run on";
    const std::string text = as_text(console("link.bin"));
    ASSERT_EQ(outage.error, "");
    ASSERT_TRUE(outage.up_again) << text;
    ASSERT_TRUE(updated) << text << errors("link.bin");
    ASSERT_TRUE(waiting_again) << text;
    EXPECT_EQ(std::string(dev.flash().begin(), dev.flash().end()), container);

    // Compact level: ">" for each command sent, the line alone for each that was not.
    const std::string failed = "ERR: sendto()failed: -1\n";
    const size_t failures = count_of(text, failed);
    EXPECT_GT(failures, 0u) << "no send failed while the link was down";
    EXPECT_EQ(count_of(text, failed + "Error Net_Handler CMD_WRITE_UP_FLASH\n"), failures)
        << "a failed send that is not a failed attempt";
    EXPECT_EQ(count_of(text, "ERR: "), failures);
    const std::string dialogue = text.substr(text.find("Старт сервера обновлений... \n"));
    EXPECT_LE(dev.valid_commands(), count_of(dialogue, ">"));
    std::printf("[figure] wine link down: 3 s at block 200: %zu sends failed, each one line and "
                "one failed attempt; %llu commands reached the device\n",
                failures, static_cast<unsigned long long>(dev.valid_commands()));
}

// An announcement whose device address is the broadcast address of the server's subnet (which
// the server learns from the Windows adapter list) is reported and analysed, then refused; no
// command goes out, not even the jump to the application that the configuration asks for.
TEST_F(WineServer, AnnouncementOfTheSubnetBroadcastAddressIsNeverAnswered) {
    std::ofstream(work.path() / "r.ini")
        << "[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=2\nAutoJumpApp=1\n"
           "[FILE]\nBinContainer=D718226B.upk\n";
    copy_example("D718226B.upk");
    device::DeviceConfig rogue = device_config();
    rogue.ip = {198, 18, 0, 255};
    const std::string container = read_bytes(work.path() / "D718226B.upk");
    rogue.flash.assign(container.begin(), container.end());
    device::Bootloader dev(rogue);
    // Hears whatever reaches port 5008 of any address of the devices' side, broadcasts too.
    UdpSocket listener = net_->in_device([] { return UdpSocket(); });
    ASSERT_TRUE(listener.bind("0.0.0.0", UPDATE_PORT));
    UdpSocket so = net_->in_device([] { return UdpSocket(); });
    ASSERT_TRUE(so.bind(TestNetwork::device_ip(1), 0));

    auto server = start_server("r.ini", "rogue.bin");
    const bool up = wait_for("rogue.bin", "Старт сервера обновлений... \n", 120);
    ASSERT_TRUE(so.send_to(TestNetwork::kServerIp, UPDATE_PORT, dev.announcement()));
    const std::string refused =
        "IP адрес устройства 198.18.0.255 недопустим, обмен с ним невозможен!\n";
    const bool seen = up && wait_for("rogue.bin", refused, 30);
    const std::optional<test::Datagram> heard = listener.receive(1000);
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string text = as_text(masked(console("rogue.bin")));
    ASSERT_TRUE(seen) << text << errors("rogue.bin");
    EXPECT_FALSE(heard.has_value()) << "a datagram of " << heard->data.size()
                                    << " bytes reached the devices' side";

    const size_t analysis = text.find("Анализ необходимости обновления:\n");
    ASSERT_NE(analysis, std::string::npos) << text;
    const size_t next = text.find("Ожидание", analysis);
    EXPECT_EQ(text.substr(analysis, next - analysis),
              "Анализ необходимости обновления:\n"
              "Имя bin файла для обновления: D718226B.upk; CRC32 текущей программы UP1: "
              "D718226B \nПО в файле и существующее ПО совпадают!\n"
              "Автообновление ПО запрещено!\n" + kSep + refused +
                  "Игнорируем обнаруженное устройство.\n"
                  "Ожидаем что оно перейдет на UP по таймауту.\n" + kSep);
    EXPECT_NE(text.find("IP dev: 198.18.0.255 \n"), std::string::npos) << text;
    EXPECT_EQ(count_of(text, "Принято широковещательное сообщение"), 1u) << text;
}

// A board that announces an address outside the server's network (10.9.9.2; the server is at
// 198.18.0.1/24): named before the first command, then given up as unreachable after the stall
// time, and journalled so.
TEST_F(WineServer, ABoardOutsideThePcsNetworksIsNamedAndGivenUpAsUnreachable) {
    std::ofstream(work.path() / "u.ini")
        << "[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=2\nDelayFrames=20\nDelayWrite=5\n"
           "StallTimeout=2\n[FILE]\nBinContainer=D718226B.upk\n[LOG]\nJournal=u.csv\n";
    copy_example("D718226B.upk");
    auto server = start_server("u.ini", "u.bin");
    const bool up = wait_for("u.bin", "Старт сервера обновлений... \n", 120);
    UdpSocket so = net_->in_device([] { return UdpSocket(); });
    device::DeviceConfig config = device_config();
    config.ip = {10, 9, 9, 2};
    device::Bootloader dev(config);
    ASSERT_TRUE(so.send_to(TestNetwork::kServerIp, UPDATE_PORT, dev.announcement()));
    const std::string given_up =
        "Устройство недоступно: адрес 10.9.9.2 вне сетей адаптеров ПК, обмен прерван\n";
    const bool ended = up && wait_for("u.bin", given_up + kSep, 60);
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string text = as_text(console("u.bin"));
    ASSERT_TRUE(ended) << text << errors("u.bin");
    EXPECT_EQ(count_of(text, "IP адрес устройства 10.9.9.2 вне сетей адаптеров ПК\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "Устройство не отвечает"), 0u) << text;
    const test::CsvText csv = test::read_csv(read_bytes(work.path() / "u.csv"), "\r\n");
    ASSERT_EQ(csv.error, "");
    ASSERT_EQ(csv.records.size(), 2u);
    EXPECT_EQ(csv.records[1][7], "unreachable");
}

// --- several devices at once --------------------------------------------------------------------

constexpr int kRackDevices = 4;

bool all_ended(const std::string& text) {
    for (int n = 1; n <= kRackDevices; ++n) {
        const std::vector<std::string> lines = test::lines_of(text, TestNetwork::device_ip(n));
        if (lines.empty() || !test::is_end_line(lines.back())) return false;
    }
    return true;
}

// Four devices of one qd-devsim process (the Linux program) on the devices' side, Parallel=4,
// reply-paced (each wait bounded by 500 ms): all updated at once, and each dialogue's lines
// whole, led by its address, as for an update without a repeated attempt.
TEST_F(WineServer, UpdatesFourDevicesAtOnceWithParallel) {
    std::ofstream(work.path() / "p.ini")
        << "[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=2\nReplyPaced=1\nParallel=4\n"
           "DelayFrames=500\nDelayWrite=500\n[FILE]\nBinContainer=D718226B.upk\n"
           "[PASS]\nPassBinContainer=1A2B3C4D\n";
    const fs::path container = fs::path(QD_EXAMPLES_DIR) / "D718226B.upk";
    fs::copy_file(container, work.path() / "D718226B.upk");
    auto server = start_server("p.ini", "rack.bin");
    ChildProcess rack({"bash", QD_TESTNET_SH, "exec-dev", net_->name(), QD_DEVSIM_EXE,
                       "--address", TestNetwork::device_ip(1), "--count",
                       std::to_string(kRackDevices), "--mac", "2.81.68.0.4.0", "--interval",
                       "1000", "--expect", container.string(), "--time-limit", "240000"},
                      work.path(), work.path() / "rack.txt", work.path() / "rack.err");
    const std::optional<int> status = rack.wait(270000);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!all_ended(as_text(console("rack.bin"))) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string text = as_text(masked(console("rack.bin")));
    const std::string devices = read_bytes(work.path() / "rack.txt");
    ASSERT_EQ(status, 0) << devices << text << errors("rack.bin");
    EXPECT_NE(devices.find("\ntotal: devices=4 jumped=4 flash_ok=4 "), std::string::npos)
        << devices;

    const std::vector<std::string> clean = test::clean_update_lines(true, 0xD718226B);
    size_t led = 0;
    for (size_t at = text.find("\n198.18.0."); at != std::string::npos;
         at = text.find("\n198.18.0.", at + 1)) {
        ++led;
    }
    for (int n = 1; n <= kRackDevices; ++n) {
        EXPECT_EQ(test::lines_of(text, TestNetwork::device_ip(n)), clean)
            << TestNetwork::device_ip(n) << "\n" << text;
    }
    EXPECT_EQ(led, kRackDevices * clean.size()) << "lines led by no device's address";
}

// Ctrl+C while junk arrives on port 5008 faster than the server reads it (a sender from a third
// address, bounded in time), two boards in the middle of their write (Parallel=2, no stall time):
// the end comes within a second and a half, and each board has its `interrupted` line.
TEST_F(WineServer, CtrlCUnderAStreamOfJunkEndsAtOnceWithTheLinesOfTheBoardsInProgress) {
    std::ofstream(work.path() / "end.ini")
        << "[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=2\nReplyPaced=1\nParallel=2\n"
           "DelayFrames=500\nDelayWrite=500\nStallTimeout=0\n[FILE]\nBinContainer=D718226B.upk\n"
           "[PASS]\nPassBinContainer=1A2B3C4D\n[LOG]\nJournal=end.csv\n";
    copy_example("D718226B.upk");
    auto server = start_server("end.ini", "end.bin");
    // Each block takes its board 20 ms: the write lasts about 10 s.
    ChildProcess rack({"bash", QD_TESTNET_SH, "exec-dev", net_->name(), QD_DEVSIM_EXE,
                       "--address", TestNetwork::device_ip(1), "--count", "2", "--mac",
                       "2.81.68.0.4.0", "--interval", "1000", "--reply-time", "20",
                       "--time-limit", "240000"},
                      work.path(), work.path() / "end.txt", work.path() / "end.err");
    const auto writing = [&] {
        return count_of(as_text(console("end.bin")), " Запись FLASH: 10 %") >= 2;
    };
    const auto until = Clock::now() + std::chrono::seconds(180);
    while (!writing() && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(writing()) << as_text(console("end.bin")) << errors("end.bin");

    test::JunkStream stream(*net_, TestNetwork::device_ip(3), 11, std::chrono::seconds(8));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto asked = Clock::now();
    server->signal(SIGINT);
    const std::optional<int> status = server->wait(10000);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
    const uint64_t sent = stream.stop();
    rack.stop();
    EXPECT_GT(sent, 1000u) << "the stream did not flow";
    EXPECT_EQ(status, kEndedByCtrlC);
    EXPECT_LE(took, 1500) << "from Ctrl+C to the end";
    std::printf("[ ended %lld ms after Ctrl+C, %llu datagrams sent ]\n",
                static_cast<long long>(took), static_cast<unsigned long long>(sent));

    const std::string bytes = read_bytes(work.path() / "end.csv");
    const test::CsvText csv = test::read_csv(bytes, "\r\n");
    ASSERT_EQ(csv.error, "") << bytes;
    ASSERT_EQ(csv.records.size(), 3u) << bytes;
    for (size_t i = 1; i < csv.records.size(); ++i) {
        ASSERT_EQ(csv.records[i].size(), 14u) << bytes;
        EXPECT_EQ(csv.records[i][7], "interrupted") << bytes;
    }
}

// A device whose replies all carry frame number 0 (qd-devsim --reply-counter still): its
// replies to consecutive blocks are alike, and each is taken for its block. Updated in one pass.
TEST_F(WineServer, UpdatesADeviceThatDoesNotNumberItsReplies) {
    std::ofstream(work.path() / "still.ini")
        << "[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=2\nReplyPaced=1\n"
           "DelayFrames=500\nDelayWrite=500\n[FILE]\nBinContainer=D718226B.upk\n"
           "[PASS]\nPassBinContainer=1A2B3C4D\n";
    const fs::path container = fs::path(QD_EXAMPLES_DIR) / "D718226B.upk";
    fs::copy_file(container, work.path() / "D718226B.upk");
    auto server = start_server("still.ini", "still.bin");
    ChildProcess dev({"bash", QD_TESTNET_SH, "exec-dev", net_->name(), QD_DEVSIM_EXE,
                      "--address", TestNetwork::device_ip(1), "--reply-counter", "still",
                      "--interval", "1000", "--expect", container.string(), "--time-limit",
                      "120000"},
                     work.path(), work.path() / "still.txt", work.path() / "still.err");
    const std::optional<int> status = dev.wait(150000);
    const bool waiting_again = wait_for(
        "still.bin", "Ожидаем широковещательное сообщение от следующего устройства.\n" + kSep, 30);
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string text = as_text(masked(console("still.bin")));
    const std::string device = read_bytes(work.path() / "still.txt");
    ASSERT_EQ(status, 0) << device << text << errors("still.bin");
    EXPECT_TRUE(waiting_again) << text;
    for (const char* field : {" cmd_erase_up_flash=1 ", " cmd_write_up_flash=480 ",
                              " cmd_getcrc_flash=1 ", " cmd_jump_to_app=1 ", " flash_ok=1 "}) {
        EXPECT_NE(device.find(field), std::string::npos) << field << "\n" << device;
    }
    size_t blocks = 0;
    for (size_t at = text.find(" NPW:"); at != std::string::npos; at = text.find(" NPW:", at + 1)) {
        ++blocks;
    }
    EXPECT_EQ(blocks, 480u) << text;
    EXPECT_EQ(text.find("Error Net_Handler"), std::string::npos) << text;
}

// Port 5008 held by another program when the server starts: the Windows error code, the line
// that says so, nothing heard while it is held; taken once free, and a board updated then.
TEST_F(WineServer, APortHeldByAnotherProgramIsTakenOnceFree) {
    std::ofstream(work.path() / "held.ini")
        << "[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=2\nReplyPaced=1\n"
           "DelayFrames=500\nDelayWrite=500\n[FILE]\nBinContainer=D718226B.upk\n"
           "[PASS]\nPassBinContainer=1A2B3C4D\n";
    copy_example("D718226B.upk");
    std::optional<UdpSocket> holder;
    holder.emplace(net_->in_server([] {
        UdpSocket so;
        EXPECT_TRUE(so.bind("0.0.0.0", UPDATE_PORT));
        return so;
    }));
    auto server = start_server("held.ini", "held.bin");
    const bool held_said = wait_for("held.bin", "Старт сервера обновлений... \n", 60);
    device::Bootloader dev(device_config());
    UdpSocket so = net_->in_device([] { return UdpSocket(); });
    ASSERT_TRUE(so.bind(TestNetwork::device_ip(1), UPDATE_PORT));
    so.allow_broadcast();
    for (int n = 0; n < 8; ++n) {  // 2 s of announcements, which only the holder hears
        so.send_to(TestNetwork::kBroadcast, UPDATE_PORT, dev.announcement());
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    const std::string while_held = as_text(masked(console("held.bin")));
    const bool commanded_while_held = so.receive(0).has_value();
    holder.reset();
    const bool updated = serve(so, dev, std::chrono::seconds(150));
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string text = as_text(masked(console("held.bin")));
    ASSERT_TRUE(held_said) << text << errors("held.bin");
    EXPECT_NE(while_held.find("error bind rx: 10048\nПорт 5008 занят другой программой или "
                              "недоступен, ждем его освобождения\n"),
              std::string::npos)
        << while_held;
    EXPECT_EQ(while_held.find("Принято широковещательное"), std::string::npos) << while_held;
    EXPECT_FALSE(commanded_while_held) << "a command came while the port was held";
    ASSERT_TRUE(updated) << text;
    EXPECT_LT(text.find("Порт 5008 свободен, сообщения устройств принимаются\n"),
              text.find("Принято широковещательное"))
        << text;
}

// A board whose programming jumper is set answers every erase with result 11: after the stall
// time it is given up with that reason, never called silent, and not sent to its application.
TEST_F(WineServer, AJumperedBoardIsGivenUpForItsJumper) {
    std::ofstream(work.path() / "jumper.ini")
        << "[DEBUG]\nDebugPrint=1\n[DIRECTIVE]\nAutoProg=2\nReplyPaced=1\nStallTimeout=3\n"
           "DelayFrames=500\nDelayWrite=500\n[FILE]\nBinContainer=D718226B.upk\n"
           "[PASS]\nPassBinContainer=1A2B3C4D\n";
    copy_example("D718226B.upk");
    auto server = start_server("jumper.ini", "jumper.bin");
    const bool started = wait_for("jumper.bin", "Старт сервера обновлений... \n", 60);
    ChildProcess dev({"bash", QD_TESTNET_SH, "exec-dev", net_->name(), QD_DEVSIM_EXE,
                      "--address", TestNetwork::device_ip(1), "--jumper", "--interval", "1000",
                      "--time-limit", "60000"},
                     work.path(), work.path() / "jumper.txt", work.path() / "jumper.err");
    const bool given_up = wait_for("jumper.bin",
                                   "Устройство отказывает 3 с: Обновление заблокировано "
                                   "джампером, обмен прерван\n" + kSep + "Ожидаем",
                                   90);
    dev.signal(SIGTERM);
    dev.wait(10000);
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    const std::string text = as_text(masked(console("jumper.bin")));
    ASSERT_TRUE(started) << text << errors("jumper.bin");
    ASSERT_TRUE(given_up) << text << errors("jumper.bin");
    EXPECT_NE(text.find("Программирование запрещено перемычкой\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Error Net_Handler CMD_ERASE_UP_FLASH\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("не отвечает"), std::string::npos) << text;
    EXPECT_EQ(text.find("CMD_SET_PASS_BIN"), std::string::npos) << text;
    EXPECT_EQ(text.find("CMD_JUMP_TO_APP"), std::string::npos) << text;
}

// --- the live view ------------------------------------------------------------------------------

// Compact, reply-paced, Parallel=4 with the live view as it is by default.
void write_rack_ini(const fs::path& ini) {
    std::ofstream(ini) << "[DEBUG]\nDebugPrint=0\n[DIRECTIVE]\nAutoProg=2\nReplyPaced=1\nParallel=4\n"
                          "DelayFrames=500\nDelayWrite=500\n[FILE]\nBinContainer=D718226B.upk\n"
                          "[PASS]\nPassBinContainer=1A2B3C4D\n";
}

// The rack of four of the test above, started in `dir`.
std::unique_ptr<ChildProcess> start_rack(const TestNetwork& net, const fs::path& dir,
                                         const std::string& mac) {
    const fs::path container = fs::path(QD_EXAMPLES_DIR) / "D718226B.upk";
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"bash", QD_TESTNET_SH, "exec-dev", net.name(), QD_DEVSIM_EXE,
                                 "--address", TestNetwork::device_ip(1), "--count",
                                 std::to_string(kRackDevices), "--mac", mac, "--interval", "1000",
                                 "--expect", container.string(), "--time-limit", "240000"},
        dir, dir / "rack.txt", dir / "rack.err");
}

// Standard output a pipe (emptied by cat into a file): the console is no terminal, the live view
// stays off, and the four devices are updated with the compact console's lines as without it,
// progress lines and all, not one escape sequence among them.
TEST_F(WineServer, UpdatesARackWithTheLiveViewOffWhenTheOutputIsAPipe) {
    write_rack_ini(work.path() / "p.ini");
    copy_example("D718226B.upk");
    ASSERT_EQ(::mkfifo((work.path() / "console.fifo").c_str(), 0600), 0);
    ChildProcess cat({"cat", (work.path() / "console.fifo").string()}, work.path(),
                     work.path() / "piped.bin", work.path() / "cat.err");
    auto server = start_server("p.ini", "console.fifo");
    auto rack = start_rack(*net_, work.path(), "2.81.68.0.6.0");
    const std::optional<int> status = rack->wait(270000);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!all_ended(as_text(console("piped.bin"))) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(30000), kEndedByCtrlC);
    EXPECT_TRUE(cat.wait(10000).has_value()) << "the pipe was not closed";
    const std::string bytes = console("piped.bin");
    const std::string text = as_text(masked(bytes));
    ASSERT_EQ(status, 0) << read_bytes(work.path() / "rack.txt") << text
                         << errors("console.fifo");
    EXPECT_EQ(bytes.find('\x1b'), std::string::npos) << "an escape sequence in a pipe";
    const std::vector<std::string> clean = test::clean_update_lines(false, 0xD718226B);
    for (int n = 1; n <= kRackDevices; ++n) {
        EXPECT_EQ(test::lines_of(text, TestNetwork::device_ip(n)), clean)
            << TestNetwork::device_ip(n) << "\n" << text;
    }
}

// On Wine's own console (a pseudo-terminal), which takes virtual-terminal processing into its
// mode but prints the sequences as text, the server finds that out and keeps the plain lines:
// each device's progress lines are there, and all four are updated.
TEST_F(WineServer, OnAConsoleThatPrintsVtSequencesTheLiveViewStaysOff) {
    write_rack_ini(work.path() / "p.ini");
    copy_example("D718226B.upk");
    test::PtyProcess server({"bash", QD_TESTNET_SH, "exec-server", net_->name(), "env",
                             "WINEPREFIX=" + prefix().string(), wine_run_, exe_, "p.ini"},
                            work.path(), {"TERM=xterm"}, 100, 30);
    ASSERT_EQ(server.error(), "");
    auto rack = start_rack(*net_, work.path(), "2.81.68.0.7.0");
    const std::optional<int> status = rack->wait(270000);
    // The terminal gets Wine's rendering of its console: each character between sequences that
    // hide and show the cursor, blanks as "ESC [ K ESC [ 1 C"; only the ASCII parts are read.
    const auto progress_of_all = [&] {
        const std::string out = std::regex_replace(
            std::regex_replace(server.output(), std::regex("\x1b\\[1C"), " "),
            std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
        for (int n = 1; n <= kRackDevices; ++n) {
            const std::regex line(R"(198\.18\.0\.)" + std::to_string(n + 1) +
                                  R"( [^\r\n]*FLASH: 100 %)");
            if (!std::regex_search(out, line)) return false;
        }
        return true;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!progress_of_all() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    server.signal(SIGINT);
    EXPECT_EQ(server.wait_for(30000), kEndedByCtrlC);
    ASSERT_EQ(status, 0) << read_bytes(work.path() / "rack.txt") << server.output();
    EXPECT_TRUE(progress_of_all()) << "no progress lines: the live view was on\n"
                                   << server.output();
}

}  // namespace
}  // namespace qd
