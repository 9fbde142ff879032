// The Windows console as a terminal: virtual-terminal processing switched on where the console
// acts on it, the window's size, and the console left as it was found when the program is ended
// from outside.
#include <windows.h>

#include <cstring>

#include "platform/terminal.hpp"
#include "platform/win32/terminal_end.hpp"

namespace qd {
namespace {

// Held shared while the terminal's output is drawn; the control handler takes it for good.
SRWLOCK g_end_lock = SRWLOCK_INIT;
HANDLE g_out = INVALID_HANDLE_VALUE;
DWORD g_old_mode = 0;
bool g_started = false;
char g_restore[64];
DWORD g_restore_len = 0;

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
    bool start(std::string_view restore) override {
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
        const size_t n = restore.size() < sizeof g_restore ? restore.size() : sizeof g_restore - 1;
        std::memcpy(g_restore, restore.data(), n);
        g_restore_len = static_cast<DWORD>(n);
        g_started = true;
        return true;
    }

    TerminalSize size() override {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!GetConsoleScreenBufferInfo(g_out, &info)) return {};
        return {info.srWindow.Right - info.srWindow.Left + 1,
                info.srWindow.Bottom - info.srWindow.Top + 1};
    }

    void hold_end() override { AcquireSRWLockShared(&g_end_lock); }
    void release_end() override { ReleaseSRWLockShared(&g_end_lock); }

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

namespace win32 {

void wait_for_terminal_output() { AcquireSRWLockExclusive(&g_end_lock); }

void restore_terminal() {
    if (!g_started) return;
    DWORD written = 0;
    WriteFile(g_out, g_restore, g_restore_len, &written, nullptr);
    SetConsoleMode(g_out, g_old_mode);
}

}  // namespace win32
}  // namespace qd
