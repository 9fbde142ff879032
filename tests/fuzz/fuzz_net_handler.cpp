// Arbitrary datagrams (up to 2048 bytes) on the receive socket: the poll sorts them at every
// console level, and a broadcast among them is reported and decided.
#include <cstddef>
#include <cstdint>

#include "server/exchange.hpp"
#include "server/main_loop.hpp"
#include "support/fakes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 2049) return 0;
    qd::test::TestServer t;
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
