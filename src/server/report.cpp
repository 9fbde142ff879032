#include "server/report.hpp"

#include "server/server.hpp"

namespace qd {

void p_time(Console& con, Clock& clock) {
    const LocalTime t = clock.now();
    // "[%02d/%02d/%d " and "%02d:%02d:%02d]" as one message: one write instead of two.
    say(con, "[%02d/%02d/%d %02d:%02d:%02d]", t.day, t.month, t.year, t.hour, t.minute, t.second);
}

void say_separator_lf(Console& con) {
    say_line(con, "\n--------------------------------------------------------");
}

void unif_dbg_out(Server& srv, const from_dev_update_t& i_d, const char* cmd_string) {
    const auto cmd = static_cast<int>(i_d.get_cmd);
    const auto result = static_cast<int>(i_d.get_result);
    const auto time = static_cast<int>(i_d.time_proc);
    if (srv.cfg.on_dbg_pr == 1) {
        if (i_d.get_result == RES_OK) {
            say(srv.con, "%s{%d} Time:%d ms\n", cmd_string, cmd, time);
            return;
        }
        say(srv.con, "%s{%d} Time:%d ms Error code:%d  ", cmd_string, cmd, time, result);
        if (const char* text = result_text(i_d.get_result)) say_line(srv.con, text);
        return;
    }
    p_time(srv.con, srv.clock);
    say(srv.con, "%s{%d} Res:%d Time:%d ms\n", cmd_string, cmd, result, time);
}

}  // namespace qd
