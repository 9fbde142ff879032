#include "support/testnet.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "support/private_net.hpp"

namespace qd::test {
namespace {

const std::string kScript = QD_TESTNET_SH;

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// A name no other network of this machine has at the same time.
std::string fresh_name() {
    static std::atomic<int> made{0};
    return "t" + std::to_string(::getpid()) + "-" + std::to_string(made++);
}

int open_ns(const std::string& name, const char* side, std::string& error) {
    const ScriptRun r = testnet_script(std::string("ns-") + side + " " + name);
    const int fd = r.status == 0 ? ::open(trimmed(r.output).c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0 && error.empty()) error = "no " + std::string(side) + " namespace: " + r.output;
    return fd;
}

}  // namespace

InNamespace::InNamespace(int ns_fd)
    : back_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (back_ >= 0 && ::setns(ns_fd, CLONE_NEWNET) == 0) return;
    if (back_ >= 0) ::close(back_);
    throw std::runtime_error("cannot enter a namespace of the test network");
}

InNamespace::~InNamespace() {
    ::setns(back_, CLONE_NEWNET);
    ::close(back_);
}

std::filesystem::path testnet_state_dir(const std::string& name) {
    const char* state = std::getenv("QD_TESTNET_STATE");
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path root = state != nullptr && *state != '\0' ? state
                                       : tmp != nullptr && *tmp != '\0'   ? tmp
                                                                           : "/tmp";
    return root / ("qd-testnet-" + name);
}

std::string namespace_id(const std::filesystem::path& ns_file) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink(ns_file, ec);
    return ec ? "" : target.string();
}

bool someone_left_in(const std::set<std::string>& namespaces) {
    namespace fs = std::filesystem;
    for (int round = 0; round < 250; ++round) {
        bool found = false;
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string pid = entry.path().filename().string();
            if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
            found = found || namespaces.count(namespace_id(entry.path() / "ns" / "net")) != 0;
        }
        if (!found) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

HeldNamespaces::~HeldNamespaces() {
    for (const auto& [id, fd] : held_) ::close(fd);
}

bool HeldNamespaces::hold(const std::filesystem::path& ns_file, const std::string& id) {
    if (held_.count(id) != 0) return true;
    const int fd = ::open(ns_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    if (namespace_id("/proc/self/fd/" + std::to_string(fd)) != id) {
        ::close(fd);
        return false;
    }
    held_.emplace(id, fd);
    return true;
}

std::set<std::string> HeldNamespaces::ids() const {
    std::set<std::string> ids;
    for (const auto& [id, fd] : held_) ids.insert(id);
    return ids;
}

ScriptRun testnet_script(const std::string& args, const std::string& env) {
    ScriptRun r{-1, {}};
    const std::string command = env + " bash '" + kScript + "' " + args + " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return r;
    char buf[1024];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int st = ::pclose(p);
    if (st != -1 && WIFEXITED(st)) r.status = WEXITSTATUS(st);
    return r;
}

TestNetwork::TestNetwork(int devices) : name_(fresh_name()) {
    error_ = enter_private_network();
    if (!error_.empty()) return;
    const ScriptRun up = testnet_script("up " + name_ + " " + std::to_string(devices));
    if (up.status != 0) {
        error_ = "testnet.sh up failed: " + up.output;
        return;
    }
    server_ns_ = open_ns(name_, "server", error_);
    device_ns_ = open_ns(name_, "dev", error_);
}

TestNetwork::~TestNetwork() {
    // The namespaces end with their holders only when no file of ours keeps them.
    if (server_ns_ >= 0) ::close(server_ns_);
    if (device_ns_ >= 0) ::close(device_ns_);
    testnet_script("down " + name_);
}

std::string TestNetwork::device_ip(int n) { return "198.18.0." + std::to_string(n + 1); }

std::string TestNetwork::server_command(const std::string& command) const {
    return "bash '" + kScript + "' exec-server " + name_ + " " + command;
}

std::string TestNetwork::device_command(const std::string& command) const {
    return "bash '" + kScript + "' exec-dev " + name_ + " " + command;
}

std::string TestNetwork::set_server_link(bool up) const {
    const std::string link = kServerLink;
    const std::string side = "exec-server " + name_ + " ";
    const ScriptRun set = testnet_script(side + "ip link set " + link + (up ? " up" : " down"));
    if (set.status != 0) return "ip link set failed: " + set.output;
    for (int waited = 0; up && waited < 10000; waited += 20) {
        const ScriptRun show = testnet_script(side + "ip -o link show dev " + link);
        if (show.output.find(" state UP ") != std::string::npos) return {};
        ::usleep(20000);
    }
    return up ? link + " did not come up" : std::string();
}

}  // namespace qd::test
