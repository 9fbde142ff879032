// The live view on the test network: qd-server (Parallel=4, the compact level, reply-paced) in
// the server's namespace, its console a pseudo-terminal read through the terminal emulator pyte
// (tests/e2e/support/screen.py), and a rack of four qd-devsim devices in the devices' namespace.
//
//   OnATerminal.RowsWhileWritingTheEndLineAboveAndTheScreenCtrlCLeaves:
//       the table's rows while the four are written, the first device's row gone and its end
//       line above the table, and the screen that Ctrl+C leaves: the table whole, the cursor
//       shown under it
//   OnATerminal.NarrowRowsNeverWrapAndAResizeIsTaken:
//       a 40-column terminal, then a wider one, and Ctrl+C in the middle of the write
//   PlainLines.PipeAndLiveViewOff:
//       stdout a pipe, and LiveView=0 on a terminal: the lines of today byte for byte (time
//       stamps masked), no escape sequence
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/bench.hpp"
#include "support/process.hpp"
#include "support/pty_process.hpp"
#include "support/rack_console.hpp"
#include "support/temp_dir.hpp"
#include "support/testnet.hpp"

namespace qd {
namespace {

namespace fs = std::filesystem;
using test::Process;
using test::PtyProcess;
using test::ServerSettings;
using test::TestNetwork;
using Clock = std::chrono::steady_clock;

constexpr unsigned kContainerCrc = 0xD718226B;
constexpr int kDevices = 4;
constexpr int kEndedByCtrlC = 128 + 2;
const std::string kPython = "/usr/bin/python3";  // Debian's, which python3-pyte is for
const std::string kSep = std::string(56, '-') + "\n";
const std::string kStarted = "Старт сервера обновлений... \n";

const ServerSettings kServer{.debug_print = 0, .reply_paced = true, .delay_frames = 500,
                             .delay_write = 500, .parallel = kDevices};

// --- the screen ------------------------------------------------------------------------------

struct Resize {
    size_t offset;  // bytes of output before it
    int columns;
    int rows;
};

struct Screen {
    std::vector<std::string> lines;
    int cursor_row = -1;
    int cursor_column = -1;
    bool cursor_shown = false;

    std::string text() const {
        std::string t;
        for (const std::string& l : lines) t += l + "\n";
        return t + "cursor " + std::to_string(cursor_row) + " " + std::to_string(cursor_column) +
               (cursor_shown ? " shown\n" : " hidden\n");
    }
    // The last line that is not blank, from 0; -1 when there is none.
    int last_written() const {
        for (int r = static_cast<int>(lines.size()) - 1; r >= 0; --r) {
            if (!lines[static_cast<size_t>(r)].empty()) return r;
        }
        return -1;
    }
};

// What the terminal shows after `bytes`, as pyte emulates it.
Screen screen_of(const std::string& bytes, int columns, int rows,
                 const std::vector<Resize>& resizes) {
    const fs::path file = fs::current_path() / "screen.bin";
    test::write_text(file, bytes);
    std::string command = kPython + " " + QD_SCREEN_PY + " " + std::to_string(columns) + " " +
                          std::to_string(rows);
    for (const Resize& r : resizes) {
        command += " " + std::to_string(r.offset) + ":" + std::to_string(r.columns) + ":" +
                   std::to_string(r.rows);
    }
    Screen s;
    FILE* out = ::popen((command + " < '" + file.string() + "'").c_str(), "r");
    if (out == nullptr) return s;
    char line[1024];
    while (std::fgets(line, sizeof line, out) != nullptr) {
        std::string l(line);
        if (!l.empty() && l.back() == '\n') l.pop_back();
        int row = 0;
        int column = 0;
        char state[16] = {};
        if (std::sscanf(l.c_str(), "cursor %d %d %15s", &row, &column, state) == 3) {
            s.cursor_row = row;
            s.cursor_column = column;
            s.cursor_shown = std::string(state) == "shown";
        } else {
            s.lines.push_back(l);
        }
    }
    ::pclose(out);
    return s;
}

size_t columns_of(const std::string& utf8) {
    return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// A row of the table for a device being written, at a width with room for the bar.
const std::regex kWideRow(
    R"(198\.18\.0\.[2-5]  +2\.81\.68\.0\.5\.[0-3]  +запись  +\[[#.]+\] +\d+ %  +\d+  +\d+:\d\d)");
const std::regex kHeader(R"(Адрес +(Сер\. номер +)?Шаг +(Записано +)?(% +)?Повт\. +Время)");

int count_matching(const Screen& s, const std::regex& re) {
    return static_cast<int>(std::count_if(s.lines.begin(), s.lines.end(),
                                          [&](const std::string& l) { return std::regex_match(l, re); }));
}

// The table at the bottom: from its header to the summary, which is the last line written;
// empty when there is no header.
std::vector<std::string> table_of(const Screen& s) {
    const int last = s.last_written();
    for (int r = last; r >= 0; --r) {
        if (std::regex_match(s.lines[static_cast<size_t>(r)], kHeader)) {
            return {s.lines.begin() + r, s.lines.begin() + last + 1};
        }
    }
    return {};
}

// --- the rig -----------------------------------------------------------------------------------

std::string ini_with(const ServerSettings& s, const std::string& directive) {
    std::string ini = test::ini_text(s);
    const std::string section = "[DIRECTIVE]\n";
    return ini.insert(ini.find(section) + section.size(), directive);
}

// The test network with four device addresses, the server's folder (its configuration and the
// container), the server on a terminal or a pipe, and the rack.
class LiveRig {
public:
    explicit LiveRig(const std::string& ini) : net_(kDevices) {
        error_ = net_.error();
        fs::copy_file(test::container_file(), dir_.path() / "D718226B.upk");
        test::write_text(dir_.path() / "t.ini", ini);
    }

    const std::string& error() const { return error_; }
    const fs::path& dir() const { return dir_.path(); }

    std::vector<std::string> server_argv() const {
        return {"bash", QD_TESTNET_SH, "exec-server", net_.name(), QD_SERVER_EXE, "t.ini"};
    }

    std::unique_ptr<PtyProcess> on_terminal(int columns, int rows) {
        auto p = std::make_unique<PtyProcess>(
            server_argv(), dir(),
            std::vector<std::string>{"QD_CONSOLE_CHARSET=utf-8", "TERM=xterm"}, columns, rows);
        if (!p->error().empty()) error_ = p->error();
        return p;
    }

    // The server writing into a pipe that `cat` empties into pipe.txt.
    std::unique_ptr<Process> on_pipe() {
        const fs::path fifo = dir() / "console.fifo";
        if (::mkfifo(fifo.c_str(), 0600) != 0) error_ = "no fifo";
        cat_ = std::make_unique<Process>(std::vector<std::string>{"cat", fifo.string()},
                                         dir() / "pipe.txt", dir());
        return std::make_unique<Process>(server_argv(), fifo, dir(),
                                         std::vector<std::string>{"QD_CONSOLE_CHARSET=utf-8",
                                                                  "TERM=xterm"});
    }
    // What came through the pipe so far; all of it once the server has ended.
    std::string pipe_text(bool ended) {
        if (cat_ && ended) cat_->wait_for(5000);
        return cat_ ? cat_->output() : "";
    }

    // Four devices from 198.18.0.2 on, serial numbers 2.81.68.0.5.0 and up, erased flash.
    std::unique_ptr<Process> rack(const std::vector<std::string>& more) {
        std::vector<std::string> argv{"bash", QD_TESTNET_SH, "exec-dev", net_.name(), QD_DEVSIM_EXE,
                                      "--address", TestNetwork::device_ip(1), "--count",
                                      std::to_string(kDevices), "--mac", "2.81.68.0.5.0",
                                      "--interval", "1000", "--expect", test::container_file(),
                                      "--time-limit", "60000"};
        argv.insert(argv.end(), more.begin(), more.end());
        return std::make_unique<Process>(argv, dir() / "rack.txt", dir());
    }

private:
    test::TempWorkDir dir_;
    TestNetwork net_;
    std::unique_ptr<Process> cat_;
    std::string error_;
};

// Replays the terminal's output every 200 ms until `ok` holds for the screen (at most
// `seconds`); that screen, or nothing.
std::optional<Screen> wait_for_screen(const PtyProcess& server, int columns, int rows,
                                      const std::vector<Resize>& resizes,
                                      const std::function<bool(const Screen&)>& ok, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    for (int n = 0; n < 50 * seconds && Clock::now() < deadline; ++n) {
        const Screen s = screen_of(server.output(), columns, rows, resizes);
        if (ok(s)) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return std::nullopt;
}

// --- what each device shows ------------------------------------------------------------------

std::string masked(std::string text) {
    text = std::regex_replace(text, std::regex(R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\])"), "[TIME]");
    return std::regex_replace(text, std::regex(R"(Номер принятого пакета: \d+ )"),
                              "Номер принятого пакета: [N] ");
}

// The announcement's block of device n (from 0), and the decision to update it.
std::string decision_block(int n) {
    const std::string ip = TestNetwork::device_ip(n + 1);
    return "\n" + kSep +
           "[TIME]\nПринято широковещательное сообщение от обновляемого устройства (dev)\n"
           "Версия структуры: 1 \nВерсия HW: 1 \nВерсия протокола: 1 \n"
           "Учетный номер применяемого шифроключа: 0 \nCRC32 бутлоадера: 0h0 \n"
           "MAC dev/serNum: 2:81:68:0:5:" + std::to_string(n) + "\nIP dev: " + ip + " \n" +
           "Port dev: 5008 \nCRC32 текущей пользовательской программы UP1: 0h7EF40B2C \n"
           "Номер принятого пакета: [N] \n" + kSep + "Анализ необходимости обновления:\n"
           "Имя bin файла для обновления: D718226B.upk; CRC32 текущей программы UP1: 7EF40B2C \n"
           "ПО в файле и существующее ПО НЕ совпадают!\n"
           "Автообновление ПО для любого сер. номера разрешено!\n" + kSep;
}

// A device's line as the compact console prints it, the progress lines aside.
bool is_device_line(const std::string& line) {
    static const std::vector<std::string> clean = test::clean_update_lines(false, kContainerCrc);
    static const std::regex lead(R"(198\.18\.0\.[2-5] (.*))");
    std::smatch m;
    if (!std::regex_match(line, m, lead)) return false;
    const std::string rest = test::lines_of(line + "\n", line.substr(0, line.find(' '))).at(0);
    return std::find(clean.begin(), clean.end(), rest) != clean.end() &&
           rest.rfind("Запись FLASH", 0) != 0;
}

// After start-up: the four decision blocks whole and each device's lines as for a clean update,
// and nothing else.
void expect_todays_lines(const std::string& transcript) {
    ASSERT_EQ(transcript.find('\x1b'), std::string::npos) << "an escape sequence";
    const size_t start = transcript.find(kStarted);
    ASSERT_NE(start, std::string::npos) << transcript;
    std::string rest = masked(transcript.substr(start + kStarted.size()));
    for (int n = 0; n < kDevices; ++n) {
        const std::string block = decision_block(n);
        const size_t at = rest.find(block);
        ASSERT_NE(at, std::string::npos) << block << "\nin\n" << rest;
        rest.erase(at, block.size());
        EXPECT_EQ(rest.find(block), std::string::npos) << "decided twice";
    }
    const std::vector<std::string> clean = test::clean_update_lines(false, kContainerCrc);
    size_t lines = 0;
    for (int n = 1; n <= kDevices; ++n) {
        EXPECT_EQ(test::lines_of(rest, TestNetwork::device_ip(n)), clean) << rest;
    }
    for (size_t at = rest.find('\n'); at != std::string::npos; at = rest.find('\n', at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, kDevices * clean.size()) << "lines of no device:\n" << rest;
}

std::string lf(std::string text) {
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
    return text;
}

// --- on a terminal -----------------------------------------------------------------------------

// Device 0 answers in 6 ms, the others in 15: the first is written while the others go on.
TEST(OnATerminal, RowsWhileWritingTheEndLineAboveAndTheScreenCtrlCLeaves) {
    LiveRig rig(test::ini_text(kServer));
    ASSERT_EQ(rig.error(), "");
    auto server = rig.on_terminal(100, 30);
    ASSERT_EQ(rig.error(), "");
    ASSERT_TRUE(server->wait_for_output("Старт сервера обновлений... \r\n", 10000))
        << server->output();
    auto rack = rig.rack({"--reply-time", "6", "--only", "1,2,3", "--reply-time", "15"});

    const auto writing = wait_for_screen(*server, 100, 30, {}, [](const Screen& s) {
        return count_matching(s, kWideRow) == kDevices;
    }, 30);
    ASSERT_TRUE(writing) << lf(server->output());
    const std::vector<std::string> table = table_of(*writing);
    ASSERT_EQ(table.size(), 6u) << writing->text();
    for (int n = 0; n < kDevices; ++n) {
        EXPECT_EQ(table[static_cast<size_t>(1 + n)].substr(0, 11), TestNetwork::device_ip(n + 1) + " ")
            << "open order";
    }
    EXPECT_TRUE(std::regex_match(table[5], std::regex(R"(Открыто: 4, обновлено: 0, прервано: 0 +\d+:\d\d)")))
        << table[5];
    EXPECT_EQ(writing->cursor_row, writing->last_written() + 1) << writing->text();
    EXPECT_EQ(writing->cursor_column, 0);
    EXPECT_FALSE(writing->cursor_shown);

    const std::regex first_end(
        R"(198\.18\.0\.2 Обновление завершено, устройство переведено в приложение: \d+ мс, повторов: 0)");
    const auto first_gone = wait_for_screen(*server, 100, 30, {}, [&](const Screen& s) {
        return count_matching(s, first_end) == 1 && table_of(s).size() == 5;
    }, 30);
    ASSERT_TRUE(first_gone) << screen_of(server->output(), 100, 30, {}).text();
    const std::vector<std::string> three = table_of(*first_gone);
    for (int n = 1; n < kDevices; ++n) {
        EXPECT_EQ(three[static_cast<size_t>(n)].substr(0, 11), TestNetwork::device_ip(n + 1) + " ")
            << first_gone->text();
    }
    EXPECT_TRUE(std::regex_match(three[4], std::regex(R"(Открыто: 3, обновлено: 1, прервано: 0 +\d+:\d\d)")))
        << three[4];

    const std::regex all_done(R"(Открыто: 0, обновлено: 4, прервано: 0 +\d+:\d\d)");
    const auto done = wait_for_screen(*server, 100, 30, {}, [&](const Screen& s) {
        return s.last_written() >= 0 && std::regex_match(s.lines[static_cast<size_t>(s.last_written())], all_done);
    }, 60);
    ASSERT_TRUE(done) << screen_of(server->output(), 100, 30, {}).text();
    EXPECT_EQ(rack->wait_for(30000), 0) << rack->output();

    server->type("\x03");
    EXPECT_EQ(server->wait_for(10000), kEndedByCtrlC);
    const std::string bytes = server->output();
    const Screen last = screen_of(bytes, 100, 30, {});
    EXPECT_TRUE(last.cursor_shown) << last.text();
    EXPECT_EQ(last.cursor_row, last.last_written() + 1) << "the ^C echo cleared: " << last.text();
    EXPECT_EQ(last.cursor_column, 0);
    EXPECT_TRUE(std::regex_match(last.lines[static_cast<size_t>(last.last_written())], all_done));
    // Every line on the screen whole: a device's line of a clean update, or one of its
    // announcement's block.
    const std::string blocks = lf(masked(bytes));
    for (int r = 0; r < last.last_written(); ++r) {
        const std::string& l = last.lines[static_cast<size_t>(r)];
        EXPECT_TRUE(l.empty() || is_device_line(l) ||
                    blocks.find("\n" + masked(l + " ") + "\n") != std::string::npos ||
                    blocks.find("\n" + masked(l) + "\n") != std::string::npos)
            << "line " << r << " cut or mixed: " << l << "\n" << last.text();
    }
    EXPECT_EQ(lf(bytes).find("Запись FLASH"), std::string::npos);
}

// A terminal 40 columns wide: the rows drop the bar and the serial number and are cut, none
// wraps; widened to 72 columns, the next draws show the bar again. Ctrl+C in the middle of the
// write leaves the last table whole and the cursor shown under it.
TEST(OnATerminal, NarrowRowsNeverWrapAndAResizeIsTaken) {
    LiveRig rig(test::ini_text(kServer));
    ASSERT_EQ(rig.error(), "");
    auto server = rig.on_terminal(40, 20);
    ASSERT_EQ(rig.error(), "");
    ASSERT_TRUE(server->wait_for_output("Старт сервера обновлений... \r\n", 10000))
        << server->output();
    auto rack = rig.rack({"--reply-time", "12"});

    const std::regex narrow_row(R"(198\.18\.0\.[2-5]  запись  +\d+ %  +\d+  +\d+:\d\d)");
    const auto narrow = wait_for_screen(*server, 40, 20, {}, [&](const Screen& s) {
        return count_matching(s, narrow_row) >= 2;
    }, 30);
    ASSERT_TRUE(narrow) << lf(server->output());
    const std::vector<std::string> table = table_of(*narrow);
    ASSERT_GE(table.size(), 4u) << narrow->text();
    for (const std::string& l : table) {
        EXPECT_LT(columns_of(l), 40u) << l;
        EXPECT_TRUE(std::regex_match(l, std::regex(R"((Адрес|198\.18\.0\.\d|Открыто:) .*)")))
            << "a wrapped line: " << l << "\n" << narrow->text();
    }

    const std::vector<Resize> resizes{{server->output().size(), 72, 20}};
    server->resize(72, 20);
    const auto wide = wait_for_screen(*server, 40, 20, resizes, [](const Screen& s) {
        return count_matching(s, kWideRow) >= 2;
    }, 20);
    ASSERT_TRUE(wide) << screen_of(server->output(), 40, 20, resizes).text();

    server->type("\x03");
    EXPECT_EQ(server->wait_for(10000), kEndedByCtrlC);
    const Screen last = screen_of(server->output(), 40, 20, resizes);
    EXPECT_TRUE(last.cursor_shown) << last.text();
    EXPECT_EQ(last.cursor_row, last.last_written() + 1) << last.text();
    const std::vector<std::string> whole = table_of(last);
    ASSERT_GE(whole.size(), 2u) << last.text();
    for (size_t i = 1; i + 1 < whole.size(); ++i) {
        EXPECT_TRUE(std::regex_match(whole[i], std::regex(R"(198\.18\.0\.[2-5]  .*  \d+:\d\d)")))
            << "not a whole row: " << whole[i] << "\n" << last.text();
    }
    EXPECT_TRUE(std::regex_match(whole.back(), std::regex(R"(Открыто: \d, обновлено: \d, прервано: 0 +\d+:\d\d)")))
        << last.text();
    rack->stop();
}

// --- elsewhere ---------------------------------------------------------------------------------

// The same rack, each device answering at once: into a pipe, and on a terminal with LiveView=0.
TEST(PlainLines, PipeAndLiveViewOff) {
    for (const bool pipe : {true, false}) {
        SCOPED_TRACE(pipe ? "a pipe" : "LiveView=0 on a terminal");
        LiveRig rig(pipe ? test::ini_text(kServer) : ini_with(kServer, "LiveView=0\n"));
        ASSERT_EQ(rig.error(), "");
        std::unique_ptr<Process> piped;
        std::unique_ptr<PtyProcess> terminal;
        if (pipe) {
            piped = rig.on_pipe();
        } else {
            terminal = rig.on_terminal(100, 30);
        }
        ASSERT_EQ(rig.error(), "");
        const auto console = [&] { return pipe ? rig.pipe_text(false) : lf(terminal->output()); };
        const auto ends = [&] {
            const std::string text = console();
            const std::string end = " мс, повторов: 0\n";
            size_t n = 0;
            for (size_t at = text.find(end); at != std::string::npos; at = text.find(end, at + 1)) {
                ++n;
            }
            return n;
        };
        auto rack = rig.rack({});
        EXPECT_EQ(rack->wait_for(60000), 0) << rack->output();
        for (int n = 0; n < 100 && ends() < kDevices; ++n) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (pipe) {
            piped->stop();
            expect_todays_lines(rig.pipe_text(true));
        } else {
            terminal->stop();
            expect_todays_lines(lf(terminal->output()));
        }
    }
}

}  // namespace
}  // namespace qd
