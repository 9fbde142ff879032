// The one-at-a-time loop's pass: its four blocks in their order, then the closing pause; the
// first two here (waiting for an announcement, its report and analysis, and the acting step), the
// dialogue's two in loop_dialogue.cpp.
#include "server/loop/loop_pass.hpp"

#include <cstring>

#include "server/announcement.hpp"
#include "server/loop/loop_dialogue.hpp"
#include "server/net/exchange.hpp"
#include "server/server.hpp"

namespace qd {
void wait_for_broadcast(Server& srv) {
    LoopState& loop = srv.loop;
    say(srv.con, "Ожидание широковещательного сообщения от устройства: %d \r",
        static_cast<int>(loop.cycle_counter));
    ++loop.cycle_counter;
    if (Net_Handler(srv, srv.loop.in_bc, loop.dlg.in_dev) != NET_RX_BCST) return;
    const from_dev_bcst_t& bc = srv.loop.in_bc;
    announced_ip(bc, loop.dlg.dev_IP);
    loop.analysis = report_and_analyse(srv, bc);
    loop.state = STATE_DECIDED;
}

void act_on_decision(Server& srv) {
    LoopState& loop = srv.loop;
    // An analysis that leaves the update flag as it was acts on the previous board's: the
    // one-at-a-time loop's console shows it so.
    const Acted acted = act_and_say(srv, loop.in_bc, loop.dlg.dev_IP, loop.analysis,
                                    loop.enable_update_up1, loop.dlg.journal_entry);
    loop.enable_update_up1 = acted.action.enable_update_up1;
    switch (acted.action.what) {
        case DeviceAction::update:
            start_dialogue(srv, CMD_NOP, acted.outside_networks);
            break;
        case DeviceAction::jump:
            start_dialogue(srv, CMD_JUMP_TO_APP, acted.outside_networks);
            break;
        case DeviceAction::ignore:
            srv.loop.state = STATE_WAIT_BROADCAST;
            break;
    }
}

void loop_pass(Server& srv) {
    LoopState& loop = srv.loop;
    if (loop.state == STATE_WAIT_BROADCAST) wait_for_broadcast(srv);
    if (loop.state == STATE_DECIDED) act_on_decision(srv);
    if (loop.state == STATE_UPDATING) run_update_steps(srv);
    if (loop.state == STATE_FINISHING) finish_dialogue(srv);
    srv.clock.sleep_ms(PASS_PAUSE_MS);
}

}  // namespace qd
