// Whether an announced device address can be a device's at all.
#pragma once

#include <cstdint>

namespace qd {

struct Server;

// The address as dotted text. False for anything but four numbers of 0..255, 0.0.0.0/8, 127.0.0.0/8, 224.0.0.0 and above, any address of the server's own
// adapters as the system lists them now, and the broadcast address of any of their subnets:
// commands sent there would reach the server itself, every device, or nothing.
bool device_address_usable(Server& srv, const char* dotted);

}  // namespace qd
