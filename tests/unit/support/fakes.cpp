// Fakes behind the server's seams.
#include "support/fakes.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/frames.hpp"
#include "server/loop/loop_pass.hpp"
#include "server/pass.hpp"

namespace qd::test {

int FakeNet::bind_any(int so, uint16_t port) {
    ++bind_tries;
    if (fail_bind) return -1;
    binds.emplace_back(so, port);
    return 0;
}

// Four decimal numbers of 0..255 separated by dots, as inet_addr takes them in the usual form;
// INADDR_NONE (all ones) for anything else.
uint32_t FakeNet::address_of(const char* dotted) {
    uint8_t octets[4];
    const char* p = dotted;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '.') return 0xFFFFFFFFu;
        if (*p < '0' || *p > '9') return 0xFFFFFFFFu;
        unsigned value = 0;
        for (; *p >= '0' && *p <= '9' && value <= 255; ++p) value = value * 10 + unsigned(*p - '0');
        if (value > 255) return 0xFFFFFFFFu;
        octets[i] = static_cast<uint8_t>(value);
    }
    if (*p != '\0') return 0xFFFFFFFFu;
    uint32_t addr = 0;  // network byte order: the first number in the first byte
    std::memcpy(&addr, octets, sizeof addr);
    return addr;
}

int FakeNet::send_to(int so, const uint8_t* data, int len, uint32_t addr, uint16_t port) {
    if (fail_send || (send_fails && send_fails())) return -1;
    sent.push_back(SentDatagram{so, Bytes(data, data + len), addr, port});
    if (on_send) on_send(sent.back());
    return len;
}

int FakeNet::receive_from(int, uint8_t* buf, int cap, uint32_t& from) {
    if (before_receive) before_receive();
    if (queue.empty()) return -1;
    Bytes d = std::move(queue.front());
    queue.pop_front();
    from = sources.empty() ? 0 : sources.front();
    if (!sources.empty()) sources.pop_front();
    if (d.size() > static_cast<size_t>(cap)) return -1;  // too long: dropped as an error
    std::copy(d.begin(), d.end(), buf);
    return static_cast<int>(d.size());
}

bool FakeNet::wait_readable(int, uint32_t timeout_ms) {
    if (before_receive) before_receive();
    if (!queue.empty()) {  // a wait that finds a datagram ready is a wait all the same
        if (clock != nullptr && clock->after_wait) clock->after_wait();
        return true;
    }
    if (clock == nullptr) return false;
    const uint64_t deadline = clock->slept_ms() + timeout_ms;
    const std::optional<uint64_t> due = next_due ? next_due() : std::nullopt;
    const uint64_t until = due && *due < deadline ? *due : deadline;
    clock->sleep_ms(static_cast<uint32_t>(until - clock->slept_ms()));
    if (before_receive) before_receive();
    return !queue.empty();
}

int FakeNet::close(int so) {
    if (fail_close) return -1;
    closed.push_back(so);
    return 0;
}

bool FakeJournalFile::open_file(const char* path, char* reason, size_t cap) {
    opened_path = path;
    if (open_error == nullptr) return true;
    std::snprintf(reason, cap, "%s", open_error);
    return false;
}

bool FakeJournalFile::last_byte(char& byte) {
    if (lines.empty()) return false;
    byte = '\n';
    return true;
}

bool FakeJournalFile::append(const char* bytes, size_t len, char* reason, size_t cap) {
    if (++appends == fail_append_at) {
        std::snprintf(reason, cap, "No space left on device");
        return false;
    }
    lines.emplace_back(bytes, len - std::strlen(JOURNAL_LINE_END));
    return true;
}

std::vector<from_serv_update_t> commands_sent(const FakeNet& net) {
    std::vector<from_serv_update_t> out;
    for (const auto& d : net.sent) {
        from_serv_update_t f{};
        from_wire(d.data.data(), f);
        out.push_back(f);
    }
    return out;
}

int run_dialogue(Server& srv, int max_passes) {
    int passes = 0;
    do {
        pass(srv);
        ++passes;
    } while (srv.loop.state != STATE_WAIT_BROADCAST && passes < max_passes);
    return passes;
}

TestServer::TestServer() {
    clock.set_time(LocalTime{5, 3, 2026, 9, 8, 7, 180});
    renew();
}

void TestServer::renew(Console* console) {
    net.clock = &clock;
    Console& out = console != nullptr ? *console : con;
    const Seams seams{out, clock, net, adapters, [](int code) { throw ProcessExit(code); }};
    srv = std::make_unique<Server>(seams, BuildStamp{"Jan  2 2026", "03:04:05"});
    srv->journal.file = &journal;
}

uint32_t host_order(const char* dotted) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
    return a << 24 | b << 16 | c << 8 | d;
}

}  // namespace qd::test
