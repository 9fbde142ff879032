// The standard output as a terminal that is drawn on in place: whether it is one, its size, and
// how it is left when the program is ended from outside.
#pragma once

#include <string_view>

namespace qd {

struct TerminalSize {
    int columns = 0;  // 0: unknown
    int rows = 0;     // 0: unknown
};

class Terminal {
public:
    virtual ~Terminal() = default;
    // Readies the standard output for drawing in place; true when it is a terminal that takes VT
    // sequences: on POSIX a terminal whose TERM is set and not "dumb", on Windows a console whose
    // virtual-terminal processing is switched on here. From then on, when the program is ended
    // from outside (Ctrl+C, SIGTERM, SIGHUP, closing the console), `restore` (at most 63 bytes)
    // is written after the output being written, and the console's mode is set back. A signal
    // that the program was started with ignored stays ignored.
    virtual bool start(std::string_view restore) = 0;
    // The size now.
    virtual TerminalSize size() = 0;
    // From hold_end() to release_end() an end from outside waits, so that what is being drawn is
    // drawn whole; it comes at release_end(). Not nested.
    virtual void hold_end() = 0;
    virtual void release_end() = 0;
    // Sets back what start() changed, for an end of the program's own.
    virtual void stop() = 0;
};

// The standard output's terminal.
Terminal& system_terminal();

}  // namespace qd
