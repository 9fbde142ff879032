// The adapter listing on the host's real interface list, inside a private network namespace
// that holds loopback and one veth pair made by the test.
#include <gtest/gtest.h>

#include <net/if.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "server/net/adapters.hpp"
#include "server/server.hpp"
#include "support/fakes.hpp"
#include "support/private_net.hpp"

namespace qd {
namespace {

struct Link {
    const char* name;
    const char* mac;  // as given to the system, lower-case
    const char* shown;
};

// Both ends in this namespace: the first with two addresses (only the first is shown) and a
// 23-bit mask, the second with none.
const Link kLinks[] = {
    {"qd-list0", "0a:1b:2c:3d:4e:5f",
     "qd-list0; veth, \nIP: 198.18.0.1; MAC: 0A:1B:2C:3D:4E:5F; Masc: 255.255.254.0\n"},
    {"qd-list1", "0a:1b:2c:3d:4e:60",
     "qd-list1; veth, \nIP: 0.0.0.0; MAC: 0A:1B:2C:3D:4E:60; Masc: 0.0.0.0\n"},
};

class HostAdapters : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(test::enter_private_network(), "");
        made_ = test::shell(std::string("ip link add name ") + kLinks[0].name + " address " +
                            kLinks[0].mac + " type veth peer name " + kLinks[1].name +
                            " address " + kLinks[1].mac);
        ASSERT_TRUE(made_);
        ASSERT_TRUE(test::shell("ip addr add 198.18.0.1/23 dev qd-list0 && "
                                "ip addr add 198.18.1.7/23 dev qd-list0"));
    }

    // The pair goes with either end, also when the test failed.
    void TearDown() override {
        if (made_) {
            EXPECT_TRUE(test::shell(std::string("ip link del ") + kLinks[0].name));
        }
    }

    bool made_ = false;
};

TEST_F(HostAdapters, ListsEachVethInTwoLinesAndNotLoopback) {
    RecordingConsole con;
    VirtualClock clock;
    test::FakeNet net;
    const Seams seams{con, clock, net, system_adapters(),
                      [](int code) { throw test::ProcessExit(code); }};
    auto srv = std::make_unique<Server>(seams, BuildStamp{"Jan  2 2026", "03:04:05"});

    getMAC(*srv);

    // The system's order is the order in which the links were made.
    std::vector<Link> links(std::begin(kLinks), std::end(kLinks));
    std::sort(links.begin(), links.end(), [](const Link& a, const Link& b) {
        return ::if_nametoindex(a.name) < ::if_nametoindex(b.name);
    });
    EXPECT_EQ(con.text(), std::string(links[0].shown) + links[1].shown + "\n");
}

}  // namespace
}  // namespace qd
