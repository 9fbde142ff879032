// What an announced device address is to the server: whether it can be a device's at all, and
// whether it lies in the PC's networks.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/adapters.hpp"

namespace qd {

struct Server;

// Where an address (host byte order) stands to the IPv4 networks (address and mask) of the
// adapters in `list`: inside one, outside all, or unknown when no adapter has an IPv4 address.
enum class Reach { inside, outside, unknown };
Reach reach_of(uint32_t address, const std::vector<AdapterRecord>& list);

struct AddressFacts {
    // False for anything but four numbers of 0..255, 0.0.0.0/8, 127.0.0.0/8, 224.0.0.0 and
    // above, any address of the server's own adapters, and the broadcast address of any of their
    // subnets: commands sent there would reach the server itself, every device, or nothing.
    bool usable = false;
    // Unknown also when the list cannot be had or the text is no address.
    Reach reach = Reach::unknown;
};

// Both, for an address as dotted text, with the adapters as the system lists them now (asked
// once).
AddressFacts address_facts(Server& srv, const char* dotted);

// Whether the address can be a device's (AddressFacts::usable).
bool device_address_usable(Server& srv, const char* dotted);

}  // namespace qd
