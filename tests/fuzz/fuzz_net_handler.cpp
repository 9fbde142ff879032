// Arbitrary datagrams (up to 2048 bytes) on the receive socket: the poll sorts them at every
// console level, and a broadcast among them is reported and decided.
//
// Each input gets a fresh server on fresh fakes, built in storage kept from input to input: a
// server is large (its dialogue slots for Parallel=N), and fresh memory for each input would
// cost far more than the code under test. Between inputs the storage is poisoned, so that
// AddressSanitizer still reports a use of the server after its end.
#include <cstddef>
#include <cstdint>
#include <new>

#include <sanitizer/asan_interface.h>

#include "server/net/exchange.hpp"
#include "server/loop/loop_pass.hpp"
#include "support/fakes.hpp"

namespace {

// The fakes of qd::test::TestServer, and a server on them in `storage`.
class Rig {
public:
    Rig() {
        ASAN_UNPOISON_MEMORY_REGION(storage, sizeof storage);
        clock.set_time(qd::LocalTime{5, 3, 2026, 9, 8, 7, 180});
        net.clock = &clock;
        const qd::Seams seams{con, clock, net, adapters,
                              [](int code) { throw qd::test::ProcessExit(code); }};
        srv = new (storage) qd::Server(seams, qd::BuildStamp{"Jan  2 2026", "03:04:05"});
        srv->journal.file = &journal;
    }
    ~Rig() {
        srv->~Server();
        ASAN_POISON_MEMORY_REGION(storage, sizeof storage);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    qd::RecordingConsole con;
    qd::VirtualClock clock;
    qd::test::FakeNet net;
    qd::test::FakeAdapters adapters;
    qd::test::FakeJournalFile journal;
    qd::Server* srv;

private:
    alignas(qd::Server) static inline unsigned char storage[sizeof(qd::Server)];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 2049) return 0;
    Rig t;
    qd::Server& srv = *t.srv;
    const uint8_t level = data[0] % 3;
    srv.cfg.on_dbg_pr = level >= 1;
    srv.cfg.on_dbg_pf = level == 2;
    srv.cfg.autoprog_regime = static_cast<uint8_t>(data[0] >> 2);
    t.net.arrive(qd::test::Bytes(data + 1, data + size));
    qd::wait_for_broadcast(srv);
    if (srv.loop.state == qd::STATE_DECIDED) qd::act_on_decision(srv);
    return 0;
}
