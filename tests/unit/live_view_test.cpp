// The live view of several devices at once: the table's text at the widths that shape it, and a
// rack on the virtual clock drawn on a test screen; where the view is off, the console as without
// it, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "device/bootloader.hpp"
#include "server/console/live_table.hpp"
#include "server/console/live_view.hpp"
#include "server/loop/loop_pass.hpp"
#include "server/pass.hpp"
#include "server/parallel/parallel_state.hpp"
#include "server/server.hpp"
#include "support/device_link.hpp"
#include "support/dialogue_bench.hpp"
#include "support/fakes.hpp"
#include "support/screen_model.hpp"
#include "support/temp_dir.hpp"

namespace qd {
namespace {

// --- the table's text ---------------------------------------------------------------------------

// Two open dialogues: one writing half the image, one repeating its erase.
struct TwoRows {
    LiveRow rows[2];
    LiveTotals totals{2, 5, 0, 1, 3723000};

    TwoRows() {
        rows[0] = LiveRow{"198.18.0.2", {0, 128, 225, 1, 2, 255}, "запись", 240, 0, 12400};
        rows[1] = LiveRow{"198.18.0.13", {2, 81, 68, 0, 4, 1}, "CMD_ERASE_UP_FLASH", 0, 3, 1999};
    }
};

std::string rendered(const TwoRows& t, TerminalSize size) {
    std::string out;
    render_live_table(t.rows, 2, t.totals, size, out);
    return out;
}

TEST(LiveTable, WholeTableAtTheWidthsThatShapeIt) {
    struct Case {
        int columns;
        const char* why;
        std::string text;
    };
    const std::vector<Case> cases = {
        {120, "the bar at its widest",
         "Адрес        Сер. номер         Шаг                 Записано                          "
         "      Повт.    Время\n"
         "198.18.0.2   0.128.225.1.2.255  запись              [###############...............]  "
         "50 %      0     0:12\n"
         "198.18.0.13  2.81.68.0.4.1      CMD_ERASE_UP_FLASH  [..............................]   "
         "0 %      3     0:01\n"
         "Открыто: 2, обновлено: 5, прервано: 1                                                  "
         "            1:02:03\n"},
        {100, "the bar shrinks to what is left",
         "Адрес        Сер. номер         Шаг                 Записано                         "
         "Повт.    Время\n"
         "198.18.0.2   0.128.225.1.2.255  запись              [###########............]  50 %  "
         "    0     0:12\n"
         "198.18.0.13  2.81.68.0.4.1      CMD_ERASE_UP_FLASH  [.......................]   0 %  "
         "    3     0:01\n"
         "Открыто: 2, обновлено: 5, прервано: 1                                                 "
         "      1:02:03\n"},
        {79, "no room for the narrowest bar: the percentage alone",
         "Адрес        Сер. номер         Шаг                     %  Повт.    Время\n"
         "198.18.0.2   0.128.225.1.2.255  запись               50 %      0     0:12\n"
         "198.18.0.13  2.81.68.0.4.1      CMD_ERASE_UP_FLASH    0 %      3     0:01\n"
         "Открыто: 2, обновлено: 5, прервано: 1                             1:02:03\n"},
        {60, "the serial number goes",
         "Адрес        Шаг                     %  Повт.    Время\n"
         "198.18.0.2   запись               50 %      0     0:12\n"
         "198.18.0.13  CMD_ERASE_UP_FLASH    0 %      3     0:01\n"
         "Открыто: 2, обновлено: 5, прервано: 1          1:02:03\n"},
        {20, "cut, never inside a character",
         "Адрес        Шаг\n"
         "198.18.0.2   запись\n"
         "198.18.0.13  CMD_ER\n"
         "Открыто: 2, обновле\n"},
    };
    const TwoRows t;
    for (const Case& c : cases) {
        EXPECT_EQ(rendered(t, {c.columns, 24}), c.text) << c.columns << " columns: " << c.why;
    }
}

// Boards given up for a refusal or for the image password: the summary says how many of each.
TEST(LiveTable, TheSummaryCountsTheBoardsThatRefused) {
    TwoRows t;
    t.totals.given_up = 4;
    t.totals.refused = 2;
    t.totals.bad_password = 1;
    const std::string out = rendered(t, {100, 24});
    EXPECT_TRUE(out.find("\nОткрыто: 2, обновлено: 5, прервано: 4 (отказ: 2, пароль: 1)   ") !=
                std::string::npos)
        << out;
}

// Whatever the size, no line reaches the last column (where a terminal would wrap it) and the
// table leaves a line above it and the cursor's line free; rows left out are counted.
TEST(LiveTable, FitsEverySizeAndCountsTheRowsLeftOut) {
    std::vector<LiveRow> rows(64);
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i] = LiveRow{"198.18.0.200", {255, 255, 255, 255, 255, static_cast<uint8_t>(i)},
                          "CMD_UNBLOCK_FLASH", static_cast<uint32_t>(i * 7), 12345, 4000000};
    }
    const LiveTotals totals{64, 4000000, 4000000, 4000000, 400000000};
    for (const size_t count : {size_t{0}, size_t{3}, size_t{64}}) {
        for (int columns = 1; columns <= 130; ++columns) {
            for (int lines = 1; lines <= 30; ++lines) {
                std::string out;
                const int n = render_live_table(rows.data(), count, totals, {columns, lines}, out);
                EXPECT_EQ(n, std::count(out.begin(), out.end(), '\n'));
                EXPECT_LE(n, std::max(0, lines - 2)) << columns << "x" << lines;
                size_t from = 0;
                for (size_t end = out.find('\n'); end != std::string::npos;
                     from = end + 1, end = out.find('\n', from)) {
                    EXPECT_LT(text_columns(std::string_view(out).substr(from, end - from)),
                              static_cast<size_t>(columns))
                        << columns << "x" << lines << ": " << out.substr(from, end - from);
                }
            }
        }
    }
    std::string out;
    ASSERT_EQ(render_live_table(rows.data(), 64, totals, {200, 24}, out), 22);
    const size_t more = out.find("\n... ещё 45\nОткрыто: 64, ");
    EXPECT_NE(more, std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 22) << "header, 19 rows, more, summary";
}

// --- a rack drawn on a test screen ---------------------------------------------------------------

// A terminal for tests: its size, and whether it takes VT sequences.
class FakeTerminal : public Terminal {
public:
    bool start() override {
        ++starts;
        return takes_vt;
    }
    TerminalSize size() override { return window; }
    void stop() override { ++stops; }

    bool takes_vt = true;
    TerminalSize window{100, 30};
    int starts = 0;
    int stops = 0;
};

// Each way a dialogue ends, and the count of the summary it lands in: written boards (their flash
// checked or not) are updated, a board only sent away is in its application, every other end is
// given up, and a refusal, a refused password and a board the PC cannot reach are said apart.
TEST(LiveViewSummary, EachEndLandsInItsCount) {
    struct Case {
        DialogueEnd end;
        const char* summary;
    };
    const Case cases[] = {
        {DialogueEnd::updated, "Открыто: 0, обновлено: 1, прервано: 0"},
        {DialogueEnd::crc_differs, "Открыто: 0, обновлено: 1, прервано: 0"},
        {DialogueEnd::jumped, "Открыто: 0, обновлено: 0, в приложение: 1, прервано: 0"},
        {DialogueEnd::verify_failed, "Открыто: 0, обновлено: 0, прервано: 1"},
        {DialogueEnd::stalled, "Открыто: 0, обновлено: 0, прервано: 1"},
        {DialogueEnd::jump_unconfirmed, "Открыто: 0, обновлено: 0, прервано: 1"},
        {DialogueEnd::interrupted, "Открыто: 0, обновлено: 0, прервано: 1"},
        {DialogueEnd::device_refused, "Открыто: 0, обновлено: 0, прервано: 1 (отказ: 1, пароль: 0)"},
        {DialogueEnd::bad_password, "Открыто: 0, обновлено: 0, прервано: 1 (отказ: 0, пароль: 1)"},
        {DialogueEnd::unreachable,
         "Открыто: 0, обновлено: 0, прервано: 1 (отказ: 0, пароль: 0, недоступно: 1)"},
    };
    for (const Case& c : cases) {
        FakeTerminal term;
        RecordingConsole out;
        LiveView view(out, term);
        ASSERT_TRUE(view.start(true, 0));
        ParallelDialogue d;
        std::snprintf(d.rec.dev_IP, sizeof d.rec.dev_IP, "192.168.1.20");
        view.opened(d);
        view.ended(d, c.end);
        view.before_wait(1000, 1000);
        std::smatch m;
        const std::string text = out.text();
        ASSERT_TRUE(std::regex_search(text, m, std::regex("(Открыто: [^\n]*?) +0:01\n")))
            << text;
        EXPECT_EQ(m[1].str(), c.summary) << static_cast<int>(c.end);
    }
}

// What reaches the terminal: the bytes, each write's virtual time, and the screen they make.
class TerminalConsole : public Console {
public:
    explicit TerminalConsole(const VirtualClock& clock) : clock_(clock) {}

    void write(std::string_view bytes) override {
        text.append(bytes);
        screen.feed(bytes);
        if (bytes.find('\x1b') == std::string_view::npos) return;
        draws.push_back(clock_.slept_ms());
    }

    std::string text;
    test::ScreenModel screen{100, 30};
    std::vector<uint64_t> draws;  // the virtual time of each write with a sequence in it

private:
    const VirtualClock& clock_;
};

const std::regex kWritingRow(
    R"(192\.168\.1\.2\d  0\.128\.225\.1\.2\.\d  запись  \[[#.]{9,30}\] +\d+ %  +\d+  +\d:\d\d)");

// The last line of the screen that is not empty (the summary, once the rack is done), or rend.
std::vector<std::string>::const_reverse_iterator last_text(const std::vector<std::string>& lines) {
    return std::find_if(lines.rbegin(), lines.rend(),
                        [](const std::string& l) { return !l.empty(); });
}

bool is_end_line(const std::string& line) {
    return line.find(" Обновление завершено, устройство переведено в приложение: ") !=
           std::string::npos;
}

// Four devices at 192.168.1.20 and up on the compact level, reply-paced, device i answering in
// 2 + 2i ms: the first is written long before the last. Each announces once a second until it is
// spoken to.
class LiveRack : public ::testing::Test, public test::DialogueBench {
protected:
    // A fresh server on `console` with Parallel=parallel, its live view `view` (or none), and
    // the rack.
    void build(Console* console, LiveView* view, uint32_t parallel, bool key) {
        links.reset();
        rack.clear();
        t.net.drop_queue();
        t.renew(console);
        configure();
        srv().cfg.on_dbg_pr = 0;
        srv().cfg.reply_paced = true;
        srv().cfg.parallel = parallel;
        srv().cfg.live_view = key;
        srv().live = view;
        std::vector<device::Bootloader*> ptrs;
        for (uint8_t i = 0; i < 4; ++i) {
            rack.push_back(std::make_unique<device::Bootloader>(
                test::bench_device({192, 168, 1, static_cast<uint8_t>(20 + i)}, i)));
            rack.back()->set_faults(device::Faults{.delay_ms = 2u + 2u * i});
            ptrs.push_back(rack.back().get());
        }
        links = std::make_unique<test::RackLink>(t.net, t.clock, ptrs);
    }

    // Passes until every device has jumped and the loop waits again (or 60 s of virtual time),
    // and 300 ms more, in which what is left is drawn; `each` after every pass.
    void run(const std::function<void()>& each = {}) {
        const uint64_t limit = t.clock.slept_ms() + 60000;
        uint64_t next_announce = t.clock.slept_ms();
        while (t.clock.slept_ms() < limit) {
            if (t.clock.slept_ms() >= next_announce) {
                for (size_t i = 0; i < rack.size(); ++i) {
                    if (links->first_heard[i] < 0) links->announce(i);
                }
                next_announce += 1000;
            }
            pass(srv());
            if (each) each();
            if (all_done()) break;
        }
        for (const uint64_t until = t.clock.slept_ms() + 300; t.clock.slept_ms() < until;) {
            pass(srv());
        }
    }

    bool all_done() {
        const bool jumped = std::all_of(rack.begin(), rack.end(),
                                        [](const auto& d) { return d->jumped(); });
        const bool open = std::any_of(std::begin(srv().parallel.slots), std::end(srv().parallel.slots),
                                      [](const ParallelDialogue& d) { return d.rec.open; });
        return jumped && !open && t.net.queue.empty();
    }

    // The whole console of a run on the plain console.
    std::string plain_run(uint32_t parallel) {
        t.con.clear();
        build(nullptr, nullptr, parallel, true);
        run();
        return t.con.text();
    }

    std::vector<std::unique_ptr<device::Bootloader>> rack;
    std::unique_ptr<test::RackLink> links;  // destroyed before the devices
};

// A pipe or a file, LiveView=0, or the one-at-a-time loop: not a byte differs from the console
// without a live view; the progress lines are there; the terminal is not even set up for the
// key and the loop.
TEST_F(LiveRack, OffWhereTheTerminalTheKeyOrTheLoopSaySo) {
    struct Case {
        const char* name;
        bool takes_vt;
        bool key;
        uint32_t parallel;
        int starts;
    };
    for (const Case& c : {Case{"not a terminal", false, true, 4, 1},
                          Case{"LiveView=0", true, false, 4, 0},
                          Case{"one at a time", true, true, 0, 0}}) {
        SCOPED_TRACE(c.name);
        const std::string plain = plain_run(c.parallel);
        FakeTerminal term;
        term.takes_vt = c.takes_vt;
        RecordingConsole out;
        LiveView view(out, term);
        build(&view, &view, c.parallel, c.key);
        run();
        EXPECT_TRUE(all_done());
        EXPECT_EQ(out.text(), plain);
        EXPECT_EQ(out.text().find('\x1b'), std::string::npos);
        if (c.parallel != 0) {
            EXPECT_EQ(test::count(plain, " Запись FLASH: 50 %\n"), 4u) << plain;
        }
        EXPECT_EQ(term.starts, c.starts);
    }
}

// The screen while the rack is written, when the first device has ended, and at the end: the
// table's rows in the order the dialogues opened, the lines above it, never a progress line.
TEST_F(LiveRack, TableInPlaceOfTheProgressLines) {
    FakeTerminal term;
    TerminalConsole out(t.clock);
    LiveView view(out, term);
    build(&view, &view, 4, true);
    std::vector<std::string> writing;     // the first screen with all four writing
    std::vector<std::string> first_gone;  // the first with the first device's end line
    run([&] {
        const std::vector<std::string> lines = out.screen.lines();
        const auto rows = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
            return std::regex_match(l, kWritingRow);
        });
        if (writing.empty() && rows == 4) writing = lines;
        const bool ended = std::any_of(lines.begin(), lines.end(), is_end_line);
        if (first_gone.empty() && ended) first_gone = lines;
    });
    ASSERT_TRUE(all_done());
    ASSERT_EQ(out.screen.error(), "");

    ASSERT_FALSE(writing.empty()) << out.text;
    const auto header = std::find_if(writing.begin(), writing.end(), [](const std::string& l) {
        return std::regex_match(l, std::regex("Адрес +Сер. номер +Шаг +Записано +Повт. +Время"));
    });
    ASSERT_TRUE(header + 6 <= writing.end()) << out.text;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(header[1 + i].substr(0, 14), "192.168.1.2" + std::to_string(i) + "  ");
    }
    EXPECT_TRUE(std::regex_match(header[5], std::regex(R"(Открыто: 4, обновлено: 0, прервано: 0 +0:0\d)")))
        << header[5];
    EXPECT_EQ(header + 6, writing.end() - 1) << "the cursor's line under the table";
    EXPECT_EQ(writing.back(), "");

    ASSERT_FALSE(first_gone.empty());
    const auto end_line = std::find_if(first_gone.begin(), first_gone.end(), is_end_line);
    EXPECT_EQ(end_line->rfind("192.168.1.20 ", 0), 0u) << *end_line;
    const auto table = std::find_if(end_line, first_gone.end(), [](const std::string& l) {
        return l.rfind("Адрес", 0) == 0;
    });
    ASSERT_NE(table, first_gone.end()) << "the end line is above the table";
    EXPECT_EQ(std::count_if(table, first_gone.end(),
                            [](const std::string& l) { return l.rfind("192.168.1.", 0) == 0; }),
              3);
    EXPECT_EQ(std::count_if(table, first_gone.end(),
                            [](const std::string& l) { return l.rfind("192.168.1.20 ", 0) == 0; }),
              0);

    // At the end: the last end line, then only the summary and the cursor's line; no progress
    // line ever.
    const std::vector<std::string> last = out.screen.lines();
    const auto summary = last_text(last);
    ASSERT_TRUE(summary + 1 < last.rend());
    EXPECT_TRUE(std::regex_match(*summary,
                                 std::regex(R"(Открыто: 0, обновлено: 4, прервано: 0 +0:0\d)")))
        << *summary;
    EXPECT_TRUE(is_end_line(summary[1])) << summary[1];
    const int cursor_row = static_cast<int>(last.rend() - summary);
    EXPECT_EQ(out.screen.cursor_row(), cursor_row);
    EXPECT_FALSE(out.screen.cursor_shown());
    EXPECT_EQ(out.text.find("Запись FLASH"), std::string::npos);
    EXPECT_EQ(test::count(out.text, " Начато обновление ПО\n"), 4u);
    EXPECT_EQ(test::count(out.text, ", совпадает с образом\n"), 4u);

    // An end of the program's own: the table stays whole, the cursor is shown under it.
    view.finish();
    EXPECT_EQ(out.screen.lines(), last);
    EXPECT_TRUE(out.screen.cursor_shown());
    EXPECT_EQ(out.screen.cursor_row(), cursor_row);
    EXPECT_EQ(out.screen.cursor_column(), 0);
    EXPECT_EQ(term.stops, 1);
}

// A rack only sent to its application (AutoProg=0, AutoJumpApp=1): the summary counts the four
// there, none aborted.
TEST_F(LiveRack, ARackSentToItsApplicationIsNotCountedAsAborted) {
    FakeTerminal term;
    TerminalConsole out(t.clock);
    LiveView view(out, term);
    build(&view, &view, 4, true);
    srv().cfg.autoprog_regime = 0;
    srv().cfg.app_jump_regime = 1;
    run();
    ASSERT_TRUE(all_done());
    ASSERT_EQ(out.screen.error(), "");
    const std::vector<std::string> last = out.screen.lines();
    const auto summary = last_text(last);
    ASSERT_NE(summary, last.rend());
    EXPECT_TRUE(std::regex_match(
        *summary,
        std::regex(R"(Открыто: 0, обновлено: 0, в приложение: 4, прервано: 0 +0:0\d)")))
        << *summary;
}

// Boards given up because they refused: the summary counts them by cause, as their lines say.
TEST_F(LiveRack, TheSummaryTellsRefusingBoardsFromSilentOnes) {
    FakeTerminal term;
    TerminalConsole out(t.clock);
    LiveView view(out, term);
    build(&view, &view, 4, true);
    srv().cfg.stall_timeout = 2;
    rack[1]->refuse(CMD_ERASE_UP_FLASH, RES_BLOCKED_BY_JUMPER, 0);
    rack[2]->refuse(CMD_SET_PASS_BIN, RES_BAD_BIN_PASSWORD, 0);
    rack[3]->set_faults(device::Faults{.mute = {CMD_NOP}});
    run();
    const std::vector<std::string> last = out.screen.lines();
    const auto summary = last_text(last);
    ASSERT_NE(summary, last.rend());
    const std::regex expected(
        R"(Открыто: 0, обновлено: 1, прервано: 3 \(отказ: 1, пароль: 1\) +\d+:\d\d)");
    EXPECT_TRUE(std::regex_match(*summary, expected)) << *summary;
}

// Draws are at least 100 ms apart;
// with nothing open, the engine wakes about once a second for the time since the start, no more.
TEST_F(LiveRack, DrawsAtMostTenTimesASecondAndIdlesWithoutSpinning) {
    FakeTerminal term;
    TerminalConsole out(t.clock);
    LiveView view(out, term);
    build(&view, &view, 4, true);
    run();
    ASSERT_TRUE(all_done());
    ASSERT_GE(out.draws.size(), 10u);
    for (size_t i = 1; i < out.draws.size(); ++i) {
        ASSERT_GE(out.draws[i] - out.draws[i - 1], LiveView::kRedrawMs) << "draw " << i;
    }

    // Ten idle seconds: the summary's time goes on, a draw each second.
    const uint64_t idle_from = t.clock.slept_ms();
    const size_t draws_before = out.draws.size();
    int passes = 0;
    while (t.clock.slept_ms() < idle_from + 10000 && passes < 1000) {
        pass(srv());
        ++passes;
    }
    EXPECT_LE(passes, 21) << "woken more often than the time since the start changes";
    EXPECT_GE(out.draws.size() - draws_before, 9u);
    EXPECT_LE(out.draws.size() - draws_before, 11u);
}

// A terminal made narrow in the middle of the write: from the next draw on, the table's lines
// fit it and nothing wraps.
TEST_F(LiveRack, NarrowedTerminalTakenAtTheNextDraw) {
    FakeTerminal term;
    TerminalConsole out(t.clock);
    LiveView view(out, term);
    build(&view, &view, 4, true);
    bool narrowed = false;
    size_t checked = 0;
    run([&] {
        if (!narrowed && out.text.find("192.168.1.23 Начато обновление ПО") != std::string::npos &&
            out.draws.size() > 5) {
            term.window = {36, 12};
            out.screen.resize(36, 12);
            narrowed = true;
            checked = out.draws.size() + 1;  // a draw already under way may be wider
            return;
        }
        if (!narrowed || out.draws.size() <= checked) return;
        const std::vector<std::string> lines = out.screen.lines();
        const auto header = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.rfind("Адрес", 0) == 0;
        });
        ASSERT_NE(header, lines.end());
        for (auto l = header; l != lines.end() - 1; ++l) {
            EXPECT_LT(text_columns(*l), 36u) << *l;
            EXPECT_TRUE(std::regex_match(*l, std::regex(R"((Адрес|192\.168\.1\.2\d|Открыто:) .*)")))
                << "a wrapped line: " << *l;
        }
        checked = out.draws.size();
    });
    EXPECT_TRUE(narrowed);
    EXPECT_TRUE(all_done());
    EXPECT_EQ(out.screen.error(), "");
}

TEST(LiveViewSetting, OnUnlessTheKeySaysZero) {
    for (const auto& [text, on] : std::vector<std::pair<std::string, bool>>{
             {"", true}, {"LiveView=0\n", false}, {"LiveView=1\n", true}, {"LiveView=2\n", true},
             {"LiveView=\n", true}, {"LiveView=no\n", false}, {"LiveView=0x0\n", false}}) {
        test::TempWorkDir dir;
        test::write_text("l.ini", "[DIRECTIVE]\nParallel=4\n" + text);
        Settings cfg;
        read_settings("l.ini", cfg);
        EXPECT_EQ(cfg.live_view, on) << text;
    }
}

}  // namespace
}  // namespace qd
