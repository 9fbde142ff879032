// The test network (tests/e2e/testnet.sh) for C++ tests: a server namespace with 198.18.0.1/24
// and a device namespace with 198.18.0.2 and up, joined by a veth pair.
//
//     TestNetwork net(2);                    // up, with devices at 198.18.0.2 and 198.18.0.3
//     ASSERT_EQ(net.error(), "");
//     UdpSocket rx = net.in_server([] { return UdpSocket(); });  // a socket keeps the
//     UdpSocket tx = net.in_device([] { return UdpSocket(); });  // namespace it was made in
//     popen(net.server_command("qd-server x.ini").c_str(), "r");  // a process on the server
//                                            // side (the test ends every process it starts)
//
// The network is taken down when the object goes, also when the test fails.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace qd::test {

// Runs the calling thread in the network namespace of a file (/proc/PID/ns/net) while it
// lives, and returns it to the namespace it was in after. Throws when it cannot enter.
class InNamespace {
public:
    explicit InNamespace(int ns_fd);
    ~InNamespace();
    InNamespace(const InNamespace&) = delete;
    InNamespace& operator=(const InNamespace&) = delete;

private:
    int back_;
};

class TestNetwork {
public:
    static constexpr const char* kServerIp = "198.18.0.1";
    static constexpr const char* kBroadcast = "198.18.0.255";
    static constexpr const char* kServerLink = "qd-srv0";
    static constexpr const char* kServerMac = "02:51:44:00:00:01";

    // Moves the test process into a private network first (see enter_private_network), so that
    // the network can also be made without root; then brings it up with `devices` addresses.
    explicit TestNetwork(int devices);
    ~TestNetwork();
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    // Nothing when the network is up; what went wrong otherwise.
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }
    // The address of device n, from 1: 198.18.0.(n + 1).
    static std::string device_ip(int n);

    // Runs fn on the server's (device's) side and returns what it returns.
    template <typename F>
    decltype(auto) in_server(F&& fn) const {
        InNamespace in(server_ns_);
        return std::forward<F>(fn)();
    }
    template <typename F>
    decltype(auto) in_device(F&& fn) const {
        InNamespace in(device_ns_);
        return std::forward<F>(fn)();
    }

    // A shell command that runs `command` on that side, for system() or popen().
    std::string server_command(const std::string& command) const;
    std::string device_command(const std::string& command) const;

    // Takes the server's link (kServerLink) down, as a pulled cable does, or brings it up again
    // and waits (at most 10 s) until it carries traffic; nothing when done, what went wrong
    // otherwise.
    std::string set_server_link(bool up) const;

private:
    std::string name_;
    std::string error_;
    int server_ns_ = -1;
    int device_ns_ = -1;
};

struct ScriptRun {
    int status;          // exit status, or -1 when it did not end normally
    std::string output;  // standard output and error
};

// Where testnet.sh keeps the state of network `name` (QD_TESTNET_STATE, else TMPDIR, else /tmp).
std::filesystem::path testnet_state_dir(const std::string& name);

// The namespace id ("net:[N]") a namespace file (/proc/PID/ns/net) names; nothing when it is
// gone.
std::string namespace_id(const std::filesystem::path& ns_file);

// Whether some process still sits in one of the namespaces (ids as namespace_id gives them),
// waiting at most 5 s for them to go.
bool someone_left_in(const std::set<std::string>& namespaces);

// Namespaces kept in being while a test looks for what is left in them. The id of a namespace
// that is gone is soon given to a new one, perhaps another test's, whose processes would then
// seem left behind; a namespace that is held keeps its id.
class HeldNamespaces {
public:
    HeldNamespaces() = default;
    ~HeldNamespaces();
    HeldNamespaces(const HeldNamespaces&) = delete;
    HeldNamespaces& operator=(const HeldNamespaces&) = delete;

    // Holds the namespace of a namespace file (/proc/PID/ns/net) if its id is still `id`;
    // false when it is gone or is another now.
    bool hold(const std::filesystem::path& ns_file, const std::string& id);
    // The ids held.
    std::set<std::string> ids() const;

private:
    std::map<std::string, int> held_;  // id, open namespace file
};

// Runs testnet.sh with the arguments (already quoted for the shell), after `env` (for example
// "PATH=/x:$PATH"), in the caller's network namespace.
ScriptRun testnet_script(const std::string& args, const std::string& env = "");

}  // namespace qd::test
