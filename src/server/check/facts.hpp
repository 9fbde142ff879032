// What a check of a configuration finds on the PC: the INI file and its settings, the container,
// the journal's place, the adapters and port 5008. Gathered once (check/gather.*), judged without
// I/O (check/judge.*), said by check/lines.*.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/adapters.hpp"
#include "platform/files.hpp"
#include "server/config/settings.hpp"

namespace qd {

struct ContainerFacts {
    bool named = false;  // BinContainer names a file
    // read_container's result: 1 read whole; -1 not opened; -2 longer, -3 shorter than a
    // container; -4 not read whole.
    int loaded = -1;
    std::string loader_lines;  // what the loader said, as it says it at start-up
    uint32_t crc = 0;          // the image's CRC-32, when read whole
};

struct PortFacts {
    int startup_error = 0;  // the socket library's start, when it failed
    bool opened = false;    // a socket could be had to try the port with
    bool bound = false;     // port 5008 could be bound (and was released at once)
    int error = 0;          // the system's error code of the failed step
};

struct CheckFacts {
    char path[260] = {};  // the INI file's full path, as start-up expands it
    bool readable = false;
    PathKind kind = PathKind::missing;  // what the path names
    Settings cfg;                       // as start-up reads it
    ContainerFacts container;
    AppendAccess journal = AppendAccess::create;  // where [LOG] Journal names a file
    AdapterQuery adapters_query = AdapterQuery::failed;
    std::vector<AdapterRecord> adapters;
    PortFacts port;
};

}  // namespace qd
