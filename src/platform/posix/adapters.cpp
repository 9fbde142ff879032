// The adapter list from the system's interface list: every interface but loopback, in the
// system's order, with its first IPv4 address and mask, its hardware address, and its driver
// (or kind) as the description.
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// The driver's name and the hardware address come from Linux's own interfaces; elsewhere the
// description is the interface's name and the hardware address stays zero.
#ifdef __linux__
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <netpacket/packet.h>
#endif

#include "platform/adapters.hpp"

namespace qd {
namespace {

template <size_t N>
void copy_text(char (&out)[N], const char* text) {
    std::strncpy(out, text, N - 1);
    out[N - 1] = '\0';
}

// The driver of the interface ("e1000e", "veth", "bridge", ...), or its name when the system
// does not tell.
void describe(const char* name, char (&out)[132]) {
    copy_text(out, name);
#ifdef __linux__
    const int so = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (so < 0) return;
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    ifreq req{};
    copy_text(req.ifr_name, name);
    req.ifr_data = reinterpret_cast<char*>(&info);
    if (::ioctl(so, SIOCETHTOOL, &req) == 0 && info.driver[0] != '\0') {
        info.driver[sizeof info.driver - 1] = '\0';
        copy_text(out, info.driver);
    }
    ::close(so);
#endif
}

struct Entry {
    AdapterRecord record;
    bool has_ip = false;
};

Entry& find_or_add(std::vector<Entry>& list, const char* name) {
    for (auto& e : list) {
        if (std::strcmp(e.record.name, name) == 0) return e;
    }
    list.emplace_back();
    copy_text(list.back().record.name, name);
    describe(name, list.back().record.description);
    return list.back();
}

// Every IPv4 address with its mask (the first also as the listing shows it), and the hardware
// address.
void take_address(Entry& e, const ifaddrs& entry) {
    AdapterRecord& a = e.record;
    const int family = entry.ifa_addr->sa_family;
    if (family == AF_INET) {
        const in_addr address = reinterpret_cast<const sockaddr_in*>(entry.ifa_addr)->sin_addr;
        in_addr mask{};
        if (entry.ifa_netmask != nullptr) {
            mask = reinterpret_cast<const sockaddr_in*>(entry.ifa_netmask)->sin_addr;
        }
        if (!e.has_ip) {
            e.has_ip = true;
            inet_ntop(AF_INET, &address, a.ip, sizeof a.ip);
            if (entry.ifa_netmask != nullptr) inet_ntop(AF_INET, &mask, a.mask, sizeof a.mask);
        }
        a.add_network(ntohl(address.s_addr), ntohl(mask.s_addr));
    }
#ifdef __linux__
    if (family == AF_PACKET) {
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(entry.ifa_addr);
        const size_t n = ll->sll_halen < 6 ? ll->sll_halen : 6;
        std::memset(a.mac, 0, sizeof a.mac);
        std::memcpy(a.mac, ll->sll_addr, n);
    }
#endif
}

class PosixAdapters : public AdapterSource {
public:
    AdapterQuery query(std::vector<AdapterRecord>& list) override {
        ifaddrs* all = nullptr;
        if (::getifaddrs(&all) != 0) return AdapterQuery::failed;
        std::vector<Entry> entries;
        for (const ifaddrs* e = all; e != nullptr; e = e->ifa_next) {
            if ((e->ifa_flags & IFF_LOOPBACK) != 0) continue;
            Entry& entry = find_or_add(entries, e->ifa_name);
            if (e->ifa_addr != nullptr) take_address(entry, *e);
        }
        ::freeifaddrs(all);
        for (const auto& e : entries) list.push_back(e.record);
        // As on Windows, a host without adapters is a failed query.
        return list.empty() ? AdapterQuery::failed : AdapterQuery::ok;
    }
};

}  // namespace

AdapterSource& system_adapters() {
    static PosixAdapters adapters;
    return adapters;
}

}  // namespace qd
