// The standard output as a terminal that is drawn on in place: whether it is one, and its size.
#pragma once

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
    // virtual-terminal processing is switched on here. The program sets it back with stop()
    // however it ends, an end from outside included (it comes only after a wait: ending.hpp).
    virtual bool start() = 0;
    // The size now.
    virtual TerminalSize size() = 0;
    // Sets back what start() changed.
    virtual void stop() = 0;
};

// The standard output's terminal.
Terminal& system_terminal();

}  // namespace qd
