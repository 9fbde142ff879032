// Whether an announced device address can be a device's at all.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/adapters.hpp"

namespace qd {

struct Server;

// The address as dotted text. False for anything but four numbers of 0..255, 0.0.0.0/8, 127.0.0.0/8, 224.0.0.0 and above, any address of the server's own
// adapters as the system lists them now, and the broadcast address of any of their subnets:
// commands sent there would reach the server itself, every device, or nothing.
bool device_address_usable(Server& srv, const char* dotted);

// Where an address (host byte order) stands to the IPv4 networks (address and mask) of the
// adapters in `list`: inside one, outside all, or unknown when no adapter has an IPv4 address.
enum class Reach { inside, outside, unknown };
Reach reach_of(uint32_t address, const std::vector<AdapterRecord>& list);

// The same for an address as dotted text, with the adapters as the system lists them now;
// unknown when the list cannot be had or the text is no address.
Reach pc_networks_reach(Server& srv, const char* dotted);

}  // namespace qd
