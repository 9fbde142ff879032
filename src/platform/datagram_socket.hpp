// One system socket of the device side, as each platform gives it (posix/ and win32/). The
// endpoints of datagram.hpp keep their sockets with these: which is open, which is closed, whose
// turn it is, what to close when one of a set cannot be had (datagram.cpp, one for both).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/datagram_types.hpp"

namespace qd::datagram_socket {

// A socket; NONE is no socket (never opened, or closed).
using Handle = intptr_t;
inline constexpr Handle NONE = -1;

// The socket library made ready for use; false, with the reason in `error`, when it cannot be.
bool start(std::string& error);
// A socket bound to local:port that may send broadcasts; NONE, with the system's reason in
// `error`, when it cannot be had.
Handle open(const Ipv4& local, uint16_t port, std::string& error);
void close(Handle h);
// Sends one datagram from h; false when the system refuses it.
bool send(Handle h, const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port);
// Waits at most timeout_ms (up to a minute) until a datagram waits on one of `handles`, NONE
// ones passed over (with none open it only waits). Element i is true when one waits on
// handles[i].
std::vector<bool> wait(const std::vector<Handle>& handles, uint32_t timeout_ms);
// The datagram waiting on h; nothing when none is there or the system gives an error.
std::optional<Datagram> read(Handle h);

}  // namespace qd::datagram_socket
