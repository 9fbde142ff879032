// The host's network adapters, as the adapter listing shows them.
#pragma once

#include <cstdint>
#include <vector>

namespace qd {

struct AdapterRecord {
    char name[260] = {};
    char description[132] = {};
    char ip[16] = "0.0.0.0";    // first IPv4 address, dotted
    char mask[16] = "0.0.0.0";  // its mask, dotted
    uint8_t mac[6] = {};        // hardware address, zero-filled when shorter or absent
};

enum class AdapterQuery {
    ok,            // the list is filled (it may be empty)
    failed,        // the system could not give the list
    out_of_memory  // a buffer for the list could not be had
};

class AdapterSource {
public:
    virtual ~AdapterSource() = default;
    // Fills `list` in the system's order.
    virtual AdapterQuery query(std::vector<AdapterRecord>& list) = 0;
};

// The platform's adapter list.
AdapterSource& system_adapters();

}  // namespace qd
