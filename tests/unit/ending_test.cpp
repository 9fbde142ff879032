// An end from outside, on the platform's own waits (the same contract on Linux and on Windows,
// where it runs under Wine): the handler only records the request, and the thread that waits
// acts on it after its next wait, whatever the wait found: the hook first, then the program ends
// as that end ends it. Each case runs in a child process of its own (a death test), since the
// program really ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>

#include "platform/ending.hpp"
#include "platform/net.hpp"
#include "platform/system.hpp"

#ifdef _WIN32
#include "platform/win32/waits.hpp"
#else
#include <csignal>
#endif

namespace qd {
namespace {

#ifdef _WIN32
// The code Windows gives a console program that Ctrl+C ends (STATUS_CONTROL_C_EXIT).
const auto kEndedFromOutside = ::testing::ExitedWithCode(static_cast<int>(0xC000013AU));
// What the console's control handler does on Ctrl+C (event 0): a test process has no console
// whose event Wine would deliver.
void ask_end() { ASSERT_TRUE(win32::request_end(0)); }
#else
const auto kEndedFromOutside = ::testing::KilledBySignal(SIGTERM);
// A real SIGTERM: blocked but inside the waits, it stays pending until the next one.
void ask_end() { ASSERT_EQ(std::raise(SIGTERM), 0); }
#endif

void say_hook_ran(void*) {
    std::fputs("the hook ran\n", stderr);
    std::fflush(stderr);
}

// Two loopback sockets of the platform: `rx` bound to a free port, `tx` to send to it.
struct Loopback {
    Net& net = system_net();
    int rx = -1;
    int tx = -1;
    uint16_t port = 0;

    Loopback() {
        net.startup();
        rx = net.open_udp();
        tx = net.open_udp();
        net.set_nonblocking(rx);
        for (uint16_t p = 47611; p < 47711 && port == 0; ++p) {
            if (net.bind_any(rx, p) == 0) port = p;
        }
    }
    bool send(int count) {
        const uint8_t datagram[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        for (int i = 0; i < count; ++i) {
            if (net.send_to(tx, datagram, sizeof datagram, net.address_of("127.0.0.1"), port) !=
                static_cast<int>(sizeof datagram)) {
                return false;
            }
        }
        // Until the datagrams are there, so that the wait below finds them ready.
        return net.wait_readable(rx, 2000);
    }
};

struct Case {
    const char* name;
    // The wait after which the end must come; the test's own setup before the request.
    std::function<void(Loopback&)> before;
    std::function<void(Loopback&)> wait;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string case_name(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

class EndFromOutside : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

const Case kCases[] = {
    {"Pause", [](Loopback&) {}, [](Loopback&) { system_clock().sleep_ms(5000); }},
    {"PauseOfNoTime", [](Loopback&) {}, [](Loopback&) { system_clock().sleep_ms(0); }},
    {"DatagramWaitThatFindsNothing", [](Loopback&) {},
     [](Loopback& l) { l.net.wait_readable(l.rx, 5000); }},
    // The socket is readable at once: the wait returns without blocking.
    {"DatagramWaitWithDatagramsReady", [](Loopback& l) { ASSERT_TRUE(l.send(3)); },
     [](Loopback& l) { l.net.wait_readable(l.rx, 5000); }},
    // Datagrams read from the socket ahead of their turn: the wait need not ask the system.
    {"DatagramWaitWithDatagramsReadAhead",
     [](Loopback& l) {
         ASSERT_TRUE(l.send(3));
         uint8_t buf[64];
         ASSERT_EQ(l.net.receive(l.rx, buf, sizeof buf), 8);
     },
     [](Loopback& l) { l.net.wait_readable(l.rx, 5000); }},
};

INSTANTIATE_TEST_SUITE_P(Waits, EndFromOutside, ::testing::ValuesIn(kCases), case_name);

TEST_P(EndFromOutside, RequestedBeforeAWaitEndsTheProgramAfterItHookFirst) {
    const Case& c = GetParam();
    EXPECT_EXIT(
        {
            Loopback l;
            if (l.port == 0) std::exit(3);
            c.before(l);
            end_at_waits(say_hook_ran, nullptr);
            ask_end();
            c.wait(l);
            std::exit(0);  // the end did not come
        },
        kEndedFromOutside, "the hook ran");
}

// Without a request the waits are waits: the same program runs on to its own end.
TEST(EndFromOutsideNotAsked, TheWaitsReturn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Loopback l;
            if (l.port == 0) std::exit(3);
            end_at_waits(say_hook_ran, nullptr);
            system_clock().sleep_ms(1);
            if (!l.send(1)) std::exit(4);
            if (!l.net.wait_readable(l.rx, 1000)) std::exit(5);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
}  // namespace qd
