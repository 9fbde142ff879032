// The host's network adapters, as the adapter listing shows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qd {

// An IPv4 address of an adapter with its mask, host byte order.
struct AdapterNetwork {
    uint32_t address = 0;
    uint32_t mask = 0;
};

struct AdapterRecord {
    static constexpr size_t kMostNetworks = 16;

    char name[260] = {};
    char description[132] = {};
    char ip[16] = "0.0.0.0";    // first IPv4 address, dotted
    char mask[16] = "0.0.0.0";  // its mask, dotted
    uint8_t mac[6] = {};        // hardware address, zero-filled when shorter or absent
    // Every IPv4 address of the adapter with its mask, the first one first (at most
    // kMostNetworks); none for an adapter without IPv4.
    AdapterNetwork networks[kMostNetworks] = {};
    size_t network_count = 0;

    // Adds a network while there is room.
    void add_network(uint32_t net_address, uint32_t net_mask) {
        if (network_count < kMostNetworks) networks[network_count++] = {net_address, net_mask};
    }
};

enum class AdapterQuery {
    ok,            // the list is filled, with one adapter at least
    failed,        // the system could not give the list, or it holds no adapter
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
