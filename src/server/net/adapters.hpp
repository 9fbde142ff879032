// The listing of the host's network adapters at start-up.
#pragma once

namespace qd {

struct Server;

// Prints each adapter in two lines (name and description; address, hardware address and mask)
// and an empty line after the last; nothing when the list cannot be had.
void getMAC(Server& srv);

}  // namespace qd
