// What the system tells about a running process: its resident memory, and the UDP counters of
// the network namespace it runs in.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace qd::test {

// VmRSS of /proc/PID/status, in KiB; nothing when the process is gone.
std::optional<long> resident_kib(pid_t pid);

// The programs under test are built with AddressSanitizer (the sanitize preset). It keeps freed
// blocks in quarantine, up to 256 MB, so a server that frees all it takes still grows there:
// its resident memory says nothing of a leak, and LeakSanitizer reports those at its end.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitized = true;
#else
inline constexpr bool kAddressSanitized = false;
#endif

// From the "Udp:" lines of /proc/PID/net/snmp (the process's network namespace).
struct UdpCounters {
    uint64_t in_datagrams = 0;   // handed to a socket
    uint64_t in_errors = 0;      // dropped on the way in, the full queues among them
    uint64_t rcvbuf_errors = 0;  // dropped because the socket's receive queue was full
};

std::optional<UdpCounters> udp_counters(pid_t pid);

}  // namespace qd::test
