// A network of the test process's own: a network namespace with nothing but loopback.
#pragma once

#include <string>

namespace qd::test {

// Moves the calling process into a network namespace of its own, with loopback up and no other
// link. As root that is a plain network namespace; without root (or where root may not make
// one) a user namespace comes with it, in which the process is root and so may make links and
// further namespaces. Done once per process, before any thread is started; later calls give
// the first call's outcome. Returns nothing on success, the reason otherwise.
std::string enter_private_network();

// Runs a shell command in the caller's network namespace; true when it exits with 0. Its output
// goes to the test's output.
bool shell(const std::string& command);

}  // namespace qd::test
