#include "support/bench.hpp"

#include <unistd.h>

#include <fstream>
#include <iterator>

namespace qd::test {
namespace {

namespace fs = std::filesystem;

const std::string kServerExe = QD_SERVER_EXE;
const std::string kDevsimExe = QD_DEVSIM_EXE;
const std::string kTestnet = QD_TESTNET_SH;
const fs::path kExamples = QD_EXAMPLES_DIR;
const std::string kUtf8 = "QD_CONSOLE_CHARSET=utf-8";
constexpr int kStartMs = 10000;
constexpr int kPollMs = 20;

// The program a process runs now, as the system names it.
std::string program_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

size_t OutputCounter::count() {
    std::ifstream in(file_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    const std::string chunk{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    offset_ += chunk.size();
    const std::string window = carry_ + chunk;
    for (size_t at = window.find(text_); at != std::string::npos;
         at = window.find(text_, at + text_.size())) {
        ++count_;
    }
    const size_t keep = std::min(window.size(), text_.size() - 1);
    carry_ = window.substr(window.size() - keep);
    return count_;
}

std::string ini_text(const ServerSettings& s) {
    const std::string parallel =
        s.parallel != 0 ? "\nParallel=" + std::to_string(s.parallel) : std::string();
    const std::string journal = s.journal.empty() ? "" : "[LOG]\nJournal=" + s.journal + "\n";
    return "[DEBUG]\nDebugPrint=" + std::to_string(s.debug_print) +
           "\n[DIRECTIVE]\nAutoProg=" + std::to_string(s.auto_prog) +
           "\nReplyPaced=" + (s.reply_paced ? "1" : "0") + parallel +
           "\nDelayWrite=" + std::to_string(s.delay_write) +
           "\nDelayFrames=" + std::to_string(s.delay_frames) +
           "\nAutoJumpApp=" + std::to_string(s.auto_jump) +
           "\nVerifyFlash=" + std::to_string(s.verify_flash) +
           "\nStallTimeout=" + std::to_string(s.stall_timeout) +
           "\n[FILE]\nBinContainer=D718226B.upk\nTypeContainer=0\n"
           "[PASS]\nPassBinContainer=1A2B3C4D\n[ID_INI_FILE]\nIdIniFile=136719067\n" + journal +
           s.extra;
}

std::string container_file() { return (kExamples / "D718226B.upk").string(); }

Bench::Bench(int device_addresses, const std::string& ini) : net_(device_addresses) {
    start(ini, true);
}

Bench::Bench(int device_addresses, const ServerSettings& settings) : net_(device_addresses) {
    if (settings.before_start && net_.error().empty()) settings.before_start(net_);
    if (settings.container_bytes) {
        write_file(dir_.path() / "D718226B.upk", *settings.container_bytes);
        start(ini_text(settings), false);
        return;
    }
    start(ini_text(settings), settings.container);
}

void Bench::start(const std::string& ini, bool container) {
    error_ = net_.error();
    if (!error_.empty()) return;
    if (container) fs::copy_file(container_file(), dir_.path() / "D718226B.upk");
    write_text(dir_.path() / "t.ini", ini);
    server_ = std::make_unique<Process>(
        std::vector<std::string>{"bash", kTestnet, "exec-server", net_.name(), kServerExe, "t.ini"},
        dir_.path() / "server.txt", dir_.path(), std::vector<std::string>{kUtf8});
    if (!server_->wait_for_output("Старт сервера обновлений... \n", kStartMs)) {
        error_ = "the server did not start: " + server_->output();
    } else if (program_of(server_->pid()) != "qd-server") {
        error_ = "process " + std::to_string(server_->pid()) + " is not qd-server";
    }
}

Bench::~Bench() {
    if (server_) server_->stop();
}

std::unique_ptr<Process> Bench::device(const std::string& name,
                                       const std::vector<std::string>& args) {
    std::vector<std::string> argv{"bash", kTestnet, "exec-dev", net_.name(), kDevsimExe};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv, dir_.path() / (name + ".txt"), dir_.path(),
                                     std::vector<std::string>{kUtf8});
}

std::string Bench::transcript_since(size_t& offset) const {
    std::ifstream in(dir_.path() / "server.txt", std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    offset += text.size();
    return text;
}

bool Bench::wait_for_count(const std::string& text, size_t times, int timeout_ms) {
    auto it = counters_.find(text);
    if (it == counters_.end()) {
        it = counters_.emplace(text, OutputCounter(dir_.path() / "server.txt", text)).first;
    }
    for (int waited = 0;; waited += kPollMs) {
        if (it->second.count() >= times) return true;
        if (waited >= timeout_ms) return false;
        ::usleep(kPollMs * 1000);
    }
}

}  // namespace qd::test
