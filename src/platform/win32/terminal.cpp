// The Windows console as a terminal: virtual-terminal processing switched on where the console
// acts on it, the window's size, and the console's mode set back.
#include <windows.h>

#include "platform/terminal.hpp"

namespace qd {
namespace {

HANDLE g_out = INVALID_HANDLE_VALUE;
DWORD g_old_mode = 0;
bool g_started = false;

// Whether the console acts on VT sequences, which a console may take in its mode and still print
// as text: "ESC [ C" moves the cursor one column, and prints nothing. What a console printed
// instead is blanked, and the cursor goes back.
bool acts_on_vt(HANDLE out) {
    CONSOLE_SCREEN_BUFFER_INFO before{};
    CONSOLE_SCREEN_BUFFER_INFO after{};
    if (!GetConsoleScreenBufferInfo(out, &before)) return false;
    constexpr char kProbe[] = "\x1b[C";
    constexpr DWORD kProbeLength = sizeof kProbe - 1;
    DWORD n = 0;
    if (!WriteConsoleA(out, kProbe, kProbeLength, &n, nullptr) ||
        !GetConsoleScreenBufferInfo(out, &after)) {
        return false;
    }
    const COORD at = before.dwCursorPosition;
    const bool moved = after.dwCursorPosition.Y == at.Y && after.dwCursorPosition.X == at.X + 1;
    if (!moved) FillConsoleOutputCharacterA(out, ' ', kProbeLength, at, &n);
    SetConsoleCursorPosition(out, at);
    return moved;
}

class Win32Terminal : public Terminal {
public:
    bool start() override {
        g_out = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD mode = 0;
        if (g_out == INVALID_HANDLE_VALUE || g_out == nullptr || !GetConsoleMode(g_out, &mode)) {
            return false;  // a pipe or a file
        }
        if (!SetConsoleMode(g_out, mode | ENABLE_PROCESSED_OUTPUT |
                                       ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
            return false;  // a console without VT sequences
        }
        if (!acts_on_vt(g_out)) {
            SetConsoleMode(g_out, mode);
            return false;
        }
        g_old_mode = mode;
        g_started = true;
        return true;
    }

    TerminalSize size() override {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!GetConsoleScreenBufferInfo(g_out, &info)) return {};
        return {info.srWindow.Right - info.srWindow.Left + 1,
                info.srWindow.Bottom - info.srWindow.Top + 1};
    }

    void stop() override {
        if (g_started) SetConsoleMode(g_out, g_old_mode);
        g_started = false;
    }
};

}  // namespace

Terminal& system_terminal() {
    static Win32Terminal terminal;
    return terminal;
}

}  // namespace qd
