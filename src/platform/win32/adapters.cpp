// The adapter list of the IP Helper: a first query on a buffer of 640 bytes (one record of the
// 32-bit platform), a larger buffer when the system asks for one, and a second query always.
#include <winsock2.h>

#include <iphlpapi.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/adapters.hpp"
#include "platform/win32/text.hpp"

namespace qd {
namespace {

constexpr ULONG kFirstSize = 640;

struct Release {
    void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<IP_ADAPTER_INFO, Release>;

Buffer buffer_of(ULONG size) { return Buffer(static_cast<IP_ADAPTER_INFO*>(std::malloc(size))); }

template <size_t N>
void copy_text(char (&out)[N], const char* ansi) {
    win32::copy_utf8(win32::ansi_to_utf8(ansi), out, N);
}

AdapterRecord record_of(const IP_ADAPTER_INFO& info) {
    AdapterRecord a;
    copy_text(a.name, info.AdapterName);
    copy_text(a.description, info.Description);
    copy_text(a.ip, info.IpAddressList.IpAddress.String);
    copy_text(a.mask, info.IpAddressList.IpMask.String);
    std::memcpy(a.mac, info.Address, sizeof a.mac);
    // Every address of the adapter; "0.0.0.0" stands for none.
    for (const IP_ADDR_STRING* n = &info.IpAddressList; n != nullptr; n = n->Next) {
        const unsigned long address = inet_addr(n->IpAddress.String);
        const unsigned long mask = inet_addr(n->IpMask.String);
        if (address == INADDR_NONE || address == 0) continue;
        a.add_network(ntohl(address), mask == INADDR_NONE ? 0xFFFFFFFFu : ntohl(mask));
    }
    return a;
}

class IpHelperAdapters : public AdapterSource {
public:
    AdapterQuery query(std::vector<AdapterRecord>& list) override {
        ULONG size = kFirstSize;
        Buffer info = buffer_of(size);
        if (!info) return AdapterQuery::out_of_memory;
        if (GetAdaptersInfo(info.get(), &size) == ERROR_BUFFER_OVERFLOW) {
            info = buffer_of(size);
            if (!info) return AdapterQuery::out_of_memory;
        }
        if (GetAdaptersInfo(info.get(), &size) != NO_ERROR) return AdapterQuery::failed;
        for (const IP_ADAPTER_INFO* a = info.get(); a != nullptr; a = a->Next) {
            list.push_back(record_of(*a));
        }
        return AdapterQuery::ok;
    }
};

}  // namespace

AdapterSource& system_adapters() {
    static IpHelperAdapters adapters;
    return adapters;
}

}  // namespace qd
