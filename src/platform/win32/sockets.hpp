// The sockets the program has open, for ending it from outside with nothing left open.
#pragma once

namespace qd::win32 {

// Closes every socket that the platform's sockets have opened and not yet closed.
void close_open_sockets();

}  // namespace qd::win32
