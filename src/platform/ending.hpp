// Ending the program from outside (Ctrl+C, SIGTERM, SIGHUP, closing the console window) at a
// point where what it keeps is whole: while it waits.
#pragma once

namespace qd {

using EndHook = void (*)(void* context);

// From now on an end from outside comes only while the program waits in the platform's pause
// (Clock::sleep_ms) or datagram wait (Net::wait_readable); at other times it is held until the
// next wait. There `hook` runs first (it may write files and the console), and then the program
// ends as that end would have ended it. A signal the program was started with ignored stays
// ignored. Called once, by the thread that waits.
void end_at_waits(EndHook hook, void* context);

}  // namespace qd
