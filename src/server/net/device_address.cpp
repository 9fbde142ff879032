// Refusing announced addresses that commands must never be sent to.
#include "server/net/device_address.hpp"

#include <vector>

#include "server/server.hpp"

namespace qd {
namespace {

// Dotted text as a host-order number; false for anything but four numbers of 0..255.
bool parse_dotted(const char* text, uint32_t& out) {
    uint32_t value = 0;
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '.') return false;
        if (*p < '0' || *p > '9') return false;
        uint32_t octet = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            octet = octet * 10u + static_cast<uint32_t>(*p - '0');
            if (octet > 255) return false;
        }
        value = value << 8 | octet;
    }
    out = value;
    return *p == '\0';
}

bool reserved(uint32_t ip) {
    const uint32_t first = ip >> 24;
    return first == 0 || first == 127 || first >= 224;
}

// One of the server's own addresses, or the broadcast address of one of its subnets.
bool own_or_broadcast(const std::vector<AdapterRecord>& list, uint32_t ip) {
    for (const AdapterRecord& a : list) {
        uint32_t own = 0;
        uint32_t mask = 0;
        if (!parse_dotted(a.ip, own) || !parse_dotted(a.mask, mask) || own == 0) continue;
        if (ip == own || ip == (own | ~mask)) return true;
    }
    return false;
}

}  // namespace

Reach reach_of(uint32_t address, const std::vector<AdapterRecord>& list) {
    bool any = false;
    for (const AdapterRecord& a : list) {
        for (size_t i = 0; i < a.network_count; ++i) {
            const AdapterNetwork& n = a.networks[i];
            any = true;
            if ((address & n.mask) == (n.address & n.mask)) return Reach::inside;
        }
    }
    return any ? Reach::outside : Reach::unknown;
}

AddressFacts address_facts(Server& srv, const char* dotted) {
    AddressFacts f;
    uint32_t value = 0;
    if (!parse_dotted(dotted, value)) return f;
    std::vector<AdapterRecord> list;
    if (srv.adapters.query(list) != AdapterQuery::ok) list.clear();  // only reserved ranges known
    f.usable = !reserved(value) && !own_or_broadcast(list, value);
    f.reach = reach_of(value, list);
    return f;
}

bool device_address_usable(Server& srv, const char* dotted) {
    return address_facts(srv, dotted).usable;
}

}  // namespace qd
