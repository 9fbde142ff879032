// The test network itself: what crosses it, what it is made of, and that it leaves nothing
// behind, also when it could not be made whole.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <ostream>
#include <string>

#include "protocol/frames.hpp"
#include "server/net/adapters.hpp"
#include "server/server.hpp"
#include "support/fakes.hpp"
#include "support/private_net.hpp"
#include "support/temp_dir.hpp"
#include "support/testnet.hpp"
#include "support/udp.hpp"

namespace qd {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::TestNetwork;
using test::UdpSocket;

constexpr int kWaitMs = 2000;

std::string output_of(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[512];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

class TestNet : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(test::enter_private_network(), ""); }
};

// --- what crosses it ------------------------------------------------------------------------

struct Path {
    const char* name;
    int device;       // the sending device, from 1
    const char* to;   // where it sends, port 5008
    bool broadcast;
};

void PrintTo(const Path& c, std::ostream* os) { *os << c.name; }

class Delivery : public TestNet, public ::testing::WithParamInterface<Path> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, Delivery,
    ::testing::Values(Path{"ToTheServer", 1, TestNetwork::kServerIp, false},
                      Path{"SubnetBroadcast", 2, TestNetwork::kBroadcast, true},
                      Path{"LimitedBroadcast", 3, "255.255.255.255", true}),
    [](const auto& c) { return std::string(c.param.name); });

// A datagram from a device address reaches a socket on port 5008 of the server side, from that
// address; and the server's answer reaches that device.
TEST_P(Delivery, DatagramFromADeviceReachesTheServerAndBack) {
    const Path& p = GetParam();
    TestNetwork net(3);
    ASSERT_EQ(net.error(), "");
    const std::string dev_ip = TestNetwork::device_ip(p.device);
    UdpSocket server = net.in_server([] { return UdpSocket(); });
    UdpSocket device = net.in_device([] { return UdpSocket(); });
    ASSERT_TRUE(server.bind("0.0.0.0", UPDATE_PORT));
    ASSERT_TRUE(device.bind(dev_ip, UPDATE_PORT));
    if (p.broadcast) device.allow_broadcast();
    const Bytes hello{'h', 'e', 'l', 'l', 'o', static_cast<uint8_t>(p.device)};

    ASSERT_TRUE(device.send_to(p.to, UPDATE_PORT, hello));
    const std::optional<test::Datagram> got = server.receive(kWaitMs);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->data, hello);
    EXPECT_EQ(got->from_ip, dev_ip);
    EXPECT_EQ(got->from_port, UPDATE_PORT);

    const Bytes answer{'o', 'k'};
    ASSERT_TRUE(server.send_to(dev_ip, UPDATE_PORT, answer));
    const std::optional<test::Datagram> back = device.receive(kWaitMs);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->data, answer);
    EXPECT_EQ(back->from_ip, TestNetwork::kServerIp);
}

// --- what it is made of ---------------------------------------------------------------------

// The server side holds loopback and its veth end, which the adapter listing shows as the
// only adapter; neither side has a default route.
TEST_F(TestNet, ServerSideListsOnlyItsVethEnd) {
    TestNetwork net(1);
    ASSERT_EQ(net.error(), "");
    RecordingConsole con;
    VirtualClock clock;
    test::FakeNet fake_net;
    const Seams seams{con, clock, fake_net, system_adapters(),
                      [](int code) { throw test::ProcessExit(code); }};
    auto srv = std::make_unique<Server>(seams, BuildStamp{"Jan  2 2026", "03:04:05"});

    net.in_server([&] { getMAC(*srv); });

    EXPECT_EQ(con.text(), std::string(TestNetwork::kServerLink) + "; veth, \nIP: " +
                              TestNetwork::kServerIp + "; MAC: " + TestNetwork::kServerMac +
                              "; Masc: 255.255.255.0\n\n");
    EXPECT_EQ(output_of(net.server_command("ip -4 route show default")), "");
    EXPECT_EQ(output_of(net.device_command("ip -4 route show default")), "");
    EXPECT_EQ(output_of(net.device_command("ip -4 -o addr show dev qd-dev0 | wc -l")), "1\n");
}

// --- what it leaves behind ------------------------------------------------------------------

TEST_F(TestNet, DownEndsItsNamespacesAndForgetsIt) {
    std::string name;
    test::HeldNamespaces namespaces;
    {
        TestNetwork net(2);
        ASSERT_EQ(net.error(), "");
        name = net.name();
        for (const char* side : {"ns-server ", "ns-dev "}) {
            const test::ScriptRun r = test::testnet_script(side + name);
            ASSERT_EQ(r.status, 0) << r.output;
            const std::string file = r.output.substr(0, r.output.find('\n'));
            ASSERT_TRUE(namespaces.hold(file, test::namespace_id(file))) << file;
        }
        ASSERT_EQ(namespaces.ids().size(), 2u);
        ASSERT_TRUE(fs::exists(test::testnet_state_dir(name)));
    }
    EXPECT_FALSE(test::someone_left_in(namespaces.ids()));
    EXPECT_FALSE(fs::exists(test::testnet_state_dir(name)));
    EXPECT_NE(test::testnet_script("ns-server " + name).status, 0);
    EXPECT_EQ(test::testnet_script("down " + name).status, 0) << "down twice";
}

// `ip addr` fails once the namespaces and the veth are made: up fails and removes them.
TEST_F(TestNet, FailedUpRemovesWhatItHadMade) {
    test::TempWorkDir dir;
    {
        std::ofstream ip(dir.path() / "ip");
        ip << "#!/bin/sh\n"
              "case \"$1\" in addr|address) readlink /proc/self/ns/net >>\"$QD_SPY\"; exit 2;; "
              "esac\n"
              "PATH=${PATH#*:} exec ip \"$@\"\n";
    }
    fs::permissions(dir.path() / "ip", fs::perms::owner_all);
    const std::string name = "failing-" + std::to_string(::getpid());
    const std::string spy = (dir.path() / "spy").string();

    const test::ScriptRun r = test::testnet_script(
        "up " + name + " 2", "QD_SPY='" + spy + "' PATH='" + dir.path().string() + "':\"$PATH\"");

    EXPECT_NE(r.status, 0);
    std::ifstream seen(spy);
    std::set<std::string> namespaces;
    for (std::string line; std::getline(seen, line);) namespaces.insert(line);
    ASSERT_EQ(namespaces.size(), 1u) << "ip addr was not reached: " << r.output;
    EXPECT_FALSE(test::someone_left_in(namespaces));
    EXPECT_FALSE(fs::exists(test::testnet_state_dir(name)));
}

struct BadUp {
    const char* name;
    std::string args;
};

void PrintTo(const BadUp& c, std::ostream* os) { *os << c.name; }

class RefusedUp : public TestNet, public ::testing::WithParamInterface<BadUp> {};

INSTANTIATE_TEST_SUITE_P(Cases, RefusedUp,
                         ::testing::Values(BadUp{"NoDevice", "0"}, BadUp{"TooManyDevices", "254"},
                                           BadUp{"NotANumber", "2x"}, BadUp{"NoCount", ""}),
                         [](const auto& c) { return std::string(c.param.name); });

TEST_P(RefusedUp, MakesNothing) {
    const std::string name = "refused-" + std::to_string(::getpid());
    EXPECT_NE(test::testnet_script("up " + name + " " + GetParam().args).status, 0);
    EXPECT_FALSE(fs::exists(test::testnet_state_dir(name)));
}

// A second up under a name in use fails and leaves the first network as it was.
TEST_F(TestNet, NameInUseIsRefused) {
    TestNetwork net(1);
    ASSERT_EQ(net.error(), "");
    EXPECT_NE(test::testnet_script("up " + net.name() + " 1").status, 0);
    UdpSocket server = net.in_server([] { return UdpSocket(); });
    UdpSocket device = net.in_device([] { return UdpSocket(); });
    ASSERT_TRUE(server.bind(TestNetwork::kServerIp, UPDATE_PORT));
    ASSERT_TRUE(device.send_to(TestNetwork::kServerIp, UPDATE_PORT, Bytes{1, 2, 3}));
    EXPECT_TRUE(server.receive(kWaitMs).has_value());
}

}  // namespace
}  // namespace qd
