// Fakes behind the server's seams: a scripted network, an adapter list, and a server built on
// them with a fixed local time and build stamp.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/adapters.hpp"
#include "platform/clock.hpp"
#include "platform/console.hpp"
#include "platform/journal_file.hpp"
#include "platform/net.hpp"
#include "server/server.hpp"
#include "support/virtual_clock.hpp"
#include "support/recording_console.hpp"

namespace qd::test {

using Bytes = std::vector<uint8_t>;

struct SentDatagram {
    int so;
    Bytes data;
    uint32_t addr;  // network byte order
    uint16_t port;
};

// A network with a receive queue that the test (or a device behind it) fills.
class FakeNet : public Net {
public:
    int startup() override { return startup_error; }
    void cleanup() override { ++cleanups; }
    int open_udp() override { return fail_open ? -1 : next_handle++; }
    void set_nonblocking(int so) override { nonblocking.push_back(so); }
    int bind_any(int so, uint16_t port) override;
    int last_error() override { return 98; }
    uint32_t address_of(const char* dotted) override;
    int send_to(int so, const uint8_t* data, int len, uint32_t addr, uint16_t port) override;
    int receive_from(int so, uint8_t* buf, int cap, uint32_t& from_addr) override;
    // Lets virtual time pass (on `clock`) until a datagram is due or the time is over.
    bool wait_readable(int so, uint32_t timeout_ms) override;
    int close(int so) override;

    // Queues a datagram for the receive socket, from the sender's address (network byte order).
    void arrive(const Bytes& datagram, uint32_t from = 0) {
        queue.push_back(datagram);
        sources.push_back(from);
    }
    void drop_queue() {
        queue.clear();
        sources.clear();
    }

    int startup_error = 0;
    bool fail_open = false;
    bool fail_bind = false;
    bool fail_send = false;
    // Asked at every send before fail_send: true makes this one fail (a link that goes down).
    std::function<bool()> send_fails;
    bool fail_close = false;
    int next_handle = 3;
    int cleanups = 0;
    int bind_tries = 0;
    std::vector<int> nonblocking;
    std::vector<std::pair<int, uint16_t>> binds;
    std::vector<int> closed;
    std::vector<SentDatagram> sent;
    std::deque<Bytes> queue;
    std::deque<uint32_t> sources;  // the sender of each queued datagram
    // Called for every datagram sent, after it is recorded (a device answers here).
    std::function<void(const SentDatagram&)> on_send;
    // Called at the start of every receive and wait (a device's late replies come due here).
    std::function<void()> before_receive;
    // The virtual time at which the next datagram will be due, if any is on its way.
    std::function<std::optional<uint64_t>()> next_due;
    VirtualClock* clock = nullptr;
};

// Dotted text as a number, host byte order (0 for anything else): an adapter network's parts.
uint32_t host_order(const char* dotted);

class FakeAdapters : public AdapterSource {
public:
    AdapterQuery query(std::vector<AdapterRecord>& list) override {
        list = records;
        return result;
    }
    AdapterQuery result = AdapterQuery::failed;
    std::vector<AdapterRecord> records;
};

// A journal file in memory: lines kept as written; opening or the n-th append can fail.
class FakeJournalFile : public JournalFile {
public:
    bool empty() override { return lines.empty(); }
    void close() override { ++closes; }

    std::string opened_path;
    const char* open_error = nullptr;  // the reason opening fails with; nullptr: it opens
    size_t fail_append_at = 0;         // the append (from 1) that fails; 0: none
    size_t appends = 0;
    int closes = 0;
    std::vector<std::string> lines;  // without their line ends

protected:
    bool open_file(const char* path, char* reason, size_t cap) override;
    bool last_byte(char& byte) override;  // a line end after any line
    bool append(const char* bytes, size_t len, char* reason, size_t cap) override;
};

// What a fatal error throws in place of ending the test process.
struct ProcessExit : std::runtime_error {
    explicit ProcessExit(int c) : std::runtime_error("process exit"), code(c) {}
    int code;
};

// The commands the server sent on the fake network, decoded, in the order sent.
std::vector<from_serv_update_t> commands_sent(const FakeNet& net);

// Passes of the main loop until the dialogue has ended and the loop waits again, at most
// max_passes; the number of passes.
int run_dialogue(Server& srv, int max_passes);

// A server on fakes: console recorded, time fixed at 05/03/2026 09:08:07, pauses added up.
struct TestServer {
    TestServer();
    RecordingConsole con;
    VirtualClock clock;
    FakeNet net;
    FakeAdapters adapters;
    FakeJournalFile journal;
    std::unique_ptr<Server> srv;

    // Replaces the server by a fresh one on the same fakes; its console `console` when one is
    // given (a console that ends in `con`, say).
    void renew(Console* console = nullptr);
};

}  // namespace qd::test
