// scripts/demo as a user runs it: its exit status says whether every simulated device ended
// well, the devices that did not are named, programs that are not there and a configuration
// of one's own (--ini) that cannot work are reported before anything is made, such a
// configuration updates a board with the container it names, and no network, process or work
// folder is left behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "container/container.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "support/csv.hpp"
#include "support/devsim_result.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/testnet.hpp"

namespace qd {
namespace {

namespace fs = std::filesystem;

const fs::path kDemo = QD_DEMO_SCRIPT;
const std::string kBuildHint =
    "build the programs with: cmake --preset demo && cmake --build --preset demo";
// A demo whose devices all reach their time limits ends well within this.
constexpr int kRunLimitMs = 120000;

// Where the demo finds its programs: the folder QD_DEMO_BIN names, or (without it) the build
// folders of a tree of its own: a copy of the script beside the real tests and examples.
struct Programs {
    bool demo_bin;                    // QD_DEMO_BIN set
    std::vector<const char*> folder;  // in QD_DEMO_BIN, or in the tree's build/demo/apps
    std::vector<const char*> debug;   // in the tree's build/debug/apps
};

// Whether the demo's output shows a line of the script's own. It starts after a line of the
// server's, or after the server's waiting counter, which ends in a carriage return.
bool shown(const std::string& out, const std::string& line) {
    return out.find("\n" + line + "\n") != std::string::npos ||
           out.find("\r" + line + "\n") != std::string::npos;
}

// A run of the demo with its state, work files and programs in a temporary folder of its own.
class DemoScript : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(state_);
        fs::create_directory(tmp_);
    }

    // Runs the demo with the programs where `p` says, the arguments, and the environment
    // settings added to the test's own, to its end; meanwhile collects the namespaces of every
    // test network it makes.
    int run(const Programs& p, const std::vector<std::string>& args,
            std::vector<std::string> env) {
        fs::path script = kDemo;
        if (p.demo_bin) {
            place(p.folder, bin_);
            env.push_back("QD_DEMO_BIN=" + bin_.string());
        } else {
            const fs::path tree = dir_.path() / "tree";
            const fs::path source = kDemo.parent_path().parent_path();
            fs::create_directories(tree / "scripts");
            fs::copy_file(kDemo, tree / "scripts" / "demo");
            fs::create_directory_symlink(source / "tests", tree / "tests");
            fs::create_directory_symlink(source / "examples", tree / "examples");
            place(p.folder, tree / "build" / "demo" / "apps");
            place(p.debug, tree / "build" / "debug" / "apps");
            script = tree / "scripts" / "demo";
            env.push_back("QD_DEMO_BIN=");
        }
        std::vector<std::string> argv{"bash", script.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> full_env{"QD_TESTNET_STATE=" + state_.string(),
                                          "TMPDIR=" + tmp_.string(), "QD_DEMO_DEVSIM_ARGS="};
        full_env.insert(full_env.end(), env.begin(), env.end());
        test::Process demo(argv, output_, dir_.path(), full_env);
        for (int waited = 0; waited < kRunLimitMs; waited += 20) {
            if (demo.wait_for(20)) break;
            std::error_code ec;
            for (const auto& net : fs::directory_iterator(state_, ec)) {
                for (const std::string side : {"server", "dev"}) {
                    const std::string id = state_line(net.path() / (side + ".ns"));
                    const std::string pid = state_line(net.path() / (side + ".pid"));
                    if (!id.empty() && !pid.empty()) {
                        namespaces_.hold(fs::path("/proc") / pid / "ns" / "net", id);
                    }
                }
            }
        }
        const std::optional<int> status = demo.wait_for(0);
        EXPECT_TRUE(status.has_value()) << "the demo did not end in time";
        return status ? *status : demo.stop();
    }

    std::string output() const { return read_text(output_); }

    // A folder that holds the programs (links to the built ones).
    static void place(const std::vector<const char*>& programs, const fs::path& folder) {
        fs::create_directories(folder);
        for (const char* program : programs) {
            fs::create_symlink(program, folder / fs::path(program).filename());
        }
    }

    // The last line of the output.
    std::string last_line() const {
        std::string out = output();
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out.substr(out.rfind('\n') + 1);
    }

    static std::string read_text(const fs::path& p) {
        const std::vector<uint8_t> bytes = test::read_file(p);
        return {bytes.begin(), bytes.end()};
    }

    // The one line of a test network's state file without its line end; empty until the file
    // is written whole.
    static std::string state_line(const fs::path& p) {
        std::string text = read_text(p);
        if (text.empty() || text.back() != '\n') return {};
        text.pop_back();
        return text;
    }

    test::TempWorkDir dir_;
    const fs::path state_ = dir_.path() / "state";  // testnet.sh's, QD_TESTNET_STATE
    const fs::path tmp_ = dir_.path() / "tmp";      // the demo's work folder goes here
    const fs::path output_ = dir_.path() / "demo.txt";
    const fs::path bin_ = dir_.path() / "bin";      // QD_DEMO_BIN
    test::HeldNamespaces namespaces_;  // of the networks the demo made
};

// --- programs that are not there --------------------------------------------------------------

const char* const kServer = QD_SERVER_EXE;
const char* const kDevsim = QD_DEVSIM_EXE;

struct Missing {
    const char* name;
    Programs programs;
    std::vector<std::string> args;
    std::string says;  // what it says of the programs, after "scripts/demo: "
};

void PrintTo(const Missing& c, std::ostream* os) { *os << c.name; }

class MissingPrograms : public DemoScript, public ::testing::WithParamInterface<Missing> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, MissingPrograms,
    ::testing::Values(
        Missing{"EmptyFolder", {true, {}, {}}, {}, "qd-server and qd-devsim are not in $BIN"},
        Missing{"EmptyFolderRack", {true, {}, {}}, {"--rack", "4"},
                "qd-server and qd-devsim are not in $BIN"},
        Missing{"NoDevsim", {true, {kServer}, {}}, {"--rack", "4"}, "qd-devsim is not in $BIN"},
        Missing{"NoServer", {true, {kDevsim}, {}}, {}, "qd-server is not in $BIN"},
        Missing{"NothingBuilt", {false, {}, {}}, {"--rack", "4"},
                "qd-server and qd-devsim are not in build/demo/apps nor in build/debug/apps"},
        Missing{"EachBuildLacksOne", {false, {kServer}, {kDevsim}}, {},
                "qd-devsim is not in build/demo/apps and qd-server is not in build/debug/apps"}),
    [](const auto& c) { return std::string(c.param.name); });

// One line with the command that builds them, a status other than 0, and no network made.
TEST_P(MissingPrograms, SaysSoInOneLineAndMakesNoNetwork) {
    const Missing& c = GetParam();

    EXPECT_EQ(run(c.programs, c.args, {}), 1);

    std::string says = c.says;
    if (const size_t at = says.find("$BIN"); at != std::string::npos) {
        says.replace(at, 4, bin_.string() + " (QD_DEMO_BIN)");
        says += "; " + kBuildHint + " (into build/demo/apps)";
    } else {
        says += "; " + kBuildHint;
    }
    EXPECT_EQ(output(), "scripts/demo: " + says + "\n");
    EXPECT_EQ(test::list_dir(state_), std::vector<std::string>{});
    EXPECT_EQ(test::list_dir(tmp_), std::vector<std::string>{});
}

// --- how the devices ended ----------------------------------------------------------------

struct DemoRun {
    const char* name;
    Programs programs;
    std::vector<std::string> args;
    std::string devsim_args;         // QD_DEMO_DEVSIM_ARGS
    int status;
    std::vector<std::string> shown;  // lines the output holds, each whole
    std::string last_line;
};

void PrintTo(const DemoRun& c, std::ostream* os) { *os << c.name; }

class DeviceOutcome : public DemoScript, public ::testing::WithParamInterface<DemoRun> {};

const std::string kFinished = "Demo finished: the server is ended and the test network removed.";
std::string failed(const std::string& devices) {
    return "Demo failed (not updated or sent to the application: " + devices +
           "): the server is ended and the test network removed.";
}

// A device silent from the first command on is given up at its time limit; the server, busy
// with it, does not serve the second of the two devices either. In the rack the others go on:
// their time limit leaves room for an update under the sanitizers on a busy machine.
// The runs that end well find the programs without QD_DEMO_BIN: where ./dev demo builds them,
// or else (build/demo/apps lacking one) in build/debug/apps.
INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceOutcome,
    ::testing::Values(
        DemoRun{"TwoDevices", {false, {kServer, kDevsim}, {}}, {}, "", 0,
                {"qd-devsim 198.18.0.2: exit status 0", "qd-devsim 198.18.0.3: exit status 0"},
                kFinished},
        DemoRun{"TwoDevicesGivenUp", {true, {kServer, kDevsim}, {}}, {},
                "--time-limit 1500 --silent 1:forever", 1,
                {"qd-devsim 198.18.0.2: exit status 3", "qd-devsim 198.18.0.3: exit status 3"},
                failed("198.18.0.2 198.18.0.3")},
        DemoRun{"Rack", {false, {kDevsim}, {kServer, kDevsim}}, {"--rack", "2"}, "", 0,
                {"qd-devsim --count 2: exit status 0"}, kFinished},
        DemoRun{"RackOneGivenUp", {true, {kServer, kDevsim}, {}}, {"--rack", "3"},
                "--time-limit 12000 --only 1 --silent 1:forever", 1,
                {"qd-devsim --count 3: exit status 3"}, failed("198.18.0.3")}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_P(DeviceOutcome, StatusAndLastLineTellHowTheDevicesEnded) {
    const DemoRun& c = GetParam();

    EXPECT_EQ(run(c.programs, c.args, {"QD_DEMO_DEVSIM_ARGS=" + c.devsim_args}), c.status);

    const std::string out = output();
    EXPECT_EQ(last_line(), c.last_line) << out;
    for (const std::string& line : c.shown) {
        EXPECT_TRUE(shown(out, line)) << line << "\n" << out;
    }
    EXPECT_EQ(namespaces_.ids().size(), 2u) << "the test network was not seen";
    EXPECT_FALSE(test::someone_left_in(namespaces_.ids()));
    EXPECT_EQ(test::list_dir(state_), std::vector<std::string>{});
    EXPECT_EQ(test::list_dir(tmp_), std::vector<std::string>{});
}

// --- a configuration of one's own (--ini) ------------------------------------------------------

// The technician's folder: the configuration, and its container when there is one.
const fs::path kLine = "line";  // from the folder the demo is started in
const std::string kIni = "line/qd-server.ini";

struct BadIni {
    const char* name;
    std::string ini;  // the configuration's text; none: there is no such file
    std::string says;  // its one line
};

void PrintTo(const BadIni& c, std::ostream* os) { *os << c.name; }

class IniThatCannotWork : public DemoScript, public ::testing::WithParamInterface<BadIni> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, IniThatCannotWork,
    ::testing::Values(
        BadIni{"NamesAMissingContainer", "[FILE]\nBinContainer = 0BADC0DE.upk\n",
               "scripts/demo: line/qd-server.ini names the container 0BADC0DE.upk ([FILE] "
               "BinContainer), which is not beside it"},
        BadIni{"NamesNone", "[FILE]\nCryptContainer=D718226B.upk\n[PASS]\nBinContainer=x.upk\n",
               "scripts/demo: line/qd-server.ini names no container ([FILE] BinContainer)"},
        BadIni{"NoSuchFile", "", "scripts/demo: line/qd-server.ini cannot be read"}),
    [](const auto& c) { return std::string(c.param.name); });

// Status 1 and the reason in one line, with the programs there, and nothing made.
TEST_P(IniThatCannotWork, SaysWhyInOneLineAndMakesNothing) {
    const BadIni& c = GetParam();
    fs::create_directory(dir_.path() / kLine);
    if (!c.ini.empty()) test::write_text(dir_.path() / kIni, c.ini);

    EXPECT_EQ(run({true, {kServer, kDevsim}, {}}, {"--ini", kIni}, {}), 1);

    EXPECT_EQ(output(), c.says + "\n");
    EXPECT_EQ(test::list_dir(state_), std::vector<std::string>{});
    EXPECT_EQ(test::list_dir(tmp_), std::vector<std::string>{});
}

std::string hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

// A configuration as a production line has it, with a container of its own (not the demo's),
// an image password other than the demo's, only the second entry of the allowlist a serial
// number, and a journal: the board has that serial number and that password, takes that
// container's image and goes to its application; the journal is shown. Without AutoJumpApp=1
// no board that already runs the firmware comes.
TEST_F(DemoScript, IniUpdatesABoardWithTheContainerItNames) {
    std::vector<uint8_t> program(3000);
    for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<uint8_t>(i * 7 + 3);
    std::vector<uint8_t> image(IMAGE_SIZE);
    ASSERT_TRUE(make_container(program.data(), program.size(), image.data()));
    const uint32_t crc = fullcalk_crc32(image.data(), IMAGE_SIZE, CRC32_POLY);
    const std::string name = container_name(crc);
    fs::create_directory(dir_.path() / kLine);
    test::write_file(dir_.path() / kLine / name, image);
    test::write_text(dir_.path() / kIni,
                     "[DEVICE]\nNA=0.128.225\nNB=0.128.225.9.8.7\n[DIRECTIVE]\nAutoProg=1\n"
                     "AutoJumpApp=0\nDelayWrite=5\nDelayFrames=20\n[FILE]\nBinContainer=" +
                         name +
                         "\n[PASS]\nPassBinContainer=5A5A0001\n[LOG]\nJournal=updates.csv\n");

    EXPECT_EQ(run({true, {kServer, kDevsim}, {}}, {"--ini", kIni}, {}), 0);

    const std::string out = output();
    EXPECT_EQ(last_line(), kFinished) << out;
    EXPECT_TRUE(shown(out, "qd-devsim 198.18.0.2: exit status 0")) << out;
    EXPECT_EQ(out.find("198.18.0.3"), std::string::npos) << out;
    const test::DevsimResult board(out);
    EXPECT_TRUE(board.jumped()) << out;
    EXPECT_TRUE(board.flash_ok()) << out;
    EXPECT_EQ(board.text("crc"), hex8(crc));

    // The journal as shown, its header and its one line: the serial number, the decision and
    // result, the container.
    const std::string heading = "\nThe update journal (updates.csv):\n";
    const size_t at = out.find(heading);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string after = out.substr(at + heading.size());
    const test::CsvText journal = test::read_csv(after.substr(0, after.find("\n\n") + 1), "\n");
    ASSERT_EQ(journal.error, "") << after;
    ASSERT_EQ(journal.records.size(), 2u) << after;
    const test::CsvRecord& board_line = journal.records[1];
    ASSERT_EQ(board_line.size(), 14u) << after;
    EXPECT_EQ(board_line[1], "0.128.225.9.8.7");
    EXPECT_EQ(board_line[2], "198.18.0.2");
    EXPECT_EQ(board_line[6], "update");
    EXPECT_EQ(board_line[7], "updated");
    EXPECT_EQ(board_line[9], name);
    EXPECT_EQ(board_line[10], hex8(crc));

    EXPECT_EQ(namespaces_.ids().size(), 2u) << "the test network was not seen";
    EXPECT_FALSE(test::someone_left_in(namespaces_.ids()));
    EXPECT_EQ(test::list_dir(state_), std::vector<std::string>{});
    EXPECT_EQ(test::list_dir(tmp_), std::vector<std::string>{});
}

}  // namespace
}  // namespace qd
