// The POSIX terminal: isatty and TERM, and the window size. The program that draws on it sets
// it back itself when it ends, also when it is ended from outside (ending.hpp).
#include "platform/terminal.hpp"

#include <cstdlib>
#include <cstring>

#include <sys/ioctl.h>
#include <unistd.h>

namespace qd {
namespace {

bool takes_vt_sequences() {
    const char* term = std::getenv("TERM");
    return ::isatty(STDOUT_FILENO) == 1 && term != nullptr && *term != '\0' &&
           std::strcmp(term, "dumb") != 0;
}

class PosixTerminal : public Terminal {
public:
    bool start() override { return takes_vt_sequences(); }

    TerminalSize size() override {
        winsize ws{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) return {};
        return {ws.ws_col, ws.ws_row};
    }

    void stop() override {}
};

}  // namespace

Terminal& system_terminal() {
    static PosixTerminal terminal;
    return terminal;
}

}  // namespace qd
