// Port 5008 held by another program when the server starts, on the test network, in both
// engines: the server says so, hears no device and sends nothing while it is held, takes the
// port within about 5 s of its being freed, says so, and then updates a board as usual.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/bench.hpp"
#include "support/devsim_result.hpp"
#include "support/udp.hpp"

namespace qd {
namespace {

using test::Bench;
using test::Process;
using test::TestNetwork;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 5008;

TEST(PortHeld, TakenOnceFreeAndABoardUpdatedThen) {
    for (const int parallel : {0, 2}) {
        SCOPED_TRACE(parallel == 0 ? "one at a time" : "two at once");
        std::optional<test::UdpSocket> holder;
        test::ServerSettings s;
        s.reply_paced = true;
        s.delay_frames = 100;
        s.delay_write = 100;
        s.parallel = parallel;
        s.before_start = [&holder](const TestNetwork& net) {
            holder.emplace(net.in_server([] {
                test::UdpSocket so;
                EXPECT_TRUE(so.bind("0.0.0.0", kPort));
                return so;
            }));
        };
        Bench bench(1, s);
        ASSERT_EQ(bench.error(), "");
        EXPECT_NE(bench.transcript().find(
                      "error bind rx: 98\nПорт 5008 занят другой программой или недоступен, "
                      "ждем его освобождения\n"),
                  std::string::npos)
            << bench.transcript();
        std::unique_ptr<Process> dev =
            bench.device("device", {"--address", TestNetwork::device_ip(1), "--interval", "300",
                                    "--expect", test::container_file(), "--time-limit", "60000"});
        // Held for 3 s: the holder hears the board's announcements, the server nothing.
        size_t heard_by_holder = 0;
        for (const auto until = Clock::now() + std::chrono::seconds(3); Clock::now() < until;) {
            if (holder->receive(100)) ++heard_by_holder;
        }
        EXPECT_GE(heard_by_holder, 5u);
        EXPECT_EQ(bench.transcript().find("Принято широковещательное"), std::string::npos);
        EXPECT_EQ(bench.transcript().find("Порт 5008 свободен"), std::string::npos);

        holder.reset();  // the other program ends: the port is taken at the next try
        ASSERT_TRUE(bench.wait_for_count(
            "Порт 5008 свободен, сообщения устройств принимаются\n", 1, 10000))
            << bench.transcript();
        const std::optional<int> status = dev->wait_for(90000);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 0) << dev->output();
        EXPECT_TRUE(test::DevsimResult(dev->output()).flash_ok()) << dev->output();
        const std::string text = bench.transcript();
        EXPECT_LT(text.find("Порт 5008 свободен"), text.find("Принято широковещательное"));
    }
}

}  // namespace
}  // namespace qd
