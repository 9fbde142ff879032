// The listing of the host's network adapters at start-up.
#include "server/net/adapters.hpp"

#include <cstdio>
#include <vector>

#include "server/server.hpp"

namespace qd {

void getMAC(Server& srv) {
    std::vector<AdapterRecord> list;
    const AdapterQuery q = srv.adapters.query(list);
    if (q == AdapterQuery::out_of_memory) {
        say_line(srv.con, "Error allocating memory needed to call GetAdaptersinfo");
        return;
    }
    if (q != AdapterQuery::ok) return;
    for (const AdapterRecord& a : list) {
        char mac_addr[18];
        std::snprintf(mac_addr, sizeof mac_addr, "%02X:%02X:%02X:%02X:%02X:%02X", a.mac[0],
                      a.mac[1], a.mac[2], a.mac[3], a.mac[4], a.mac[5]);
        say(srv.con, "%s; %s, \nIP: %s; MAC: %s; Masc: %s\n", a.name, a.description, a.ip,
            mac_addr, a.mask);
    }
    say(srv.con, "\n");
}

}  // namespace qd
