// `qd-server --check FILE.ini`: a configuration tried before the boards come. It reads the
// configuration and the container as start-up does, serves nothing and writes nothing, says
// what it finds and what the server would do with each kind of board.
#pragma once

#include "platform/adapters.hpp"
#include "platform/console.hpp"
#include "platform/net.hpp"
#include "server/server.hpp"

namespace qd {

struct CheckSeams {
    Console& con;
    Net& net;
    AdapterSource& adapters;
    BuildStamp build;
};

// Checks the configuration `arg` names (a path as the command line gives it). The exit status:
// 0 a board could be updated with it, 1 none could (each reason said), 2 the file cannot be read.
int run_check(const CheckSeams& seams, const char* arg);

}  // namespace qd
