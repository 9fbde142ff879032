// A valid announcement, for both engines: the device's report, the analysis (update/decision.hpp)
// and its findings, and the acting step with its lines.
#pragma once

#include <cstdint>

#include "protocol/frames.hpp"
#include "update/decision.hpp"

namespace qd {

struct Server;
struct JournalEntry;

// The announced device's address as dotted text: where its commands go.
void announced_ip(const from_dev_bcst_t& bc, char (&ip)[32]);

// The device's report: the announcement's fields between separators.
void report_device(Server& srv, const from_dev_bcst_t& bc);
// The block that follows a valid announcement, for both engines: the report, the analysis and
// its findings; what the analysis came to.
Analysis report_and_analyse(Server& srv, const from_dev_bcst_t& bc);

// What the acting step came to.
struct Acted {
    Action action;
    bool outside_networks = false;  // the device's address lies in none of the PC's networks
};

// The acting step, for both engines, on the device that announced bc from ip, on its analysis
// (`flag_before`: see ActingFacts), with the adapters as the system lists them now; the
// journal's entry for the device noted in `entry`, and the step's lines (a bad address, no
// image, the jump line, or the ignore lines, the device then journalled); what is to be done.
Acted act_and_say(Server& srv, const from_dev_bcst_t& bc, const char* ip, const Analysis& analysis,
                  uint8_t flag_before, JournalEntry& entry);

}  // namespace qd
