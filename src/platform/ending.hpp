// Ending the program from outside (Ctrl+C, SIGTERM, SIGHUP, closing the console window) at a
// point where what it keeps is whole: after one of its waits.
#pragma once

namespace qd {

using EndHook = void (*)(void* context);

// From now on an end from outside is only recorded where it comes (a signal handler, the
// console's control handler); the thread that called this acts on it after its next wait, the
// platform's pause (Clock::sleep_ms) or datagram wait (Net::wait_readable), also a wait that
// returned with datagrams ready: `hook` runs first (it may write files and the console), then
// the program ends as that end would have ended it. No wait lasts long enough to hold an end
// off for more than a fraction of a second. A signal the program was started with ignored stays
// ignored. Called once, by the thread that waits and owns what the hook writes.
void end_at_waits(EndHook hook, void* context);

}  // namespace qd
