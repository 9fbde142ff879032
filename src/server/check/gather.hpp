// Gathering what a configuration check judges: the INI file read as start-up reads it, the
// container loaded by start-up's loader into a buffer of its own, the journal's place asked of
// the system, the adapters, and port 5008 bound and released at once. Nothing is written.
#pragma once

#include "platform/adapters.hpp"
#include "platform/net.hpp"
#include "server/check/facts.hpp"

namespace qd {

// The facts for the configuration `arg` names (a path as the command line gives it). Only the
// file's own facts when it cannot be read.
CheckFacts gather_facts(const char* arg, Net& net, AdapterSource& adapters);

}  // namespace qd
