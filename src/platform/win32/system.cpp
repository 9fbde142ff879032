// The Windows console and clock. The console is switched to code page 1251 and gets the
// messages' bytes in Windows-1251; Ctrl+C, Ctrl+Break and closing the console window end the
// program after the message being written, with its sockets closed: after its next wait once it
// ends only there (ending.hpp).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/charset.hpp"
#include "platform/system.hpp"
#include "platform/win32/sockets.hpp"
#include "platform/win32/text.hpp"
#include "platform/win32/waits.hpp"

namespace qd {
namespace {

// Held while a message is written; the control handler takes it for good when it ends the
// program itself.
SRWLOCK g_output_lock = SRWLOCK_INIT;

// Once the program ends only after its waits (ending.hpp), the handler records the event and
// leaves the end to the program's thread, which ends the process within a fraction of a second;
// the handler's thread waits for that meanwhile (closing the console, logging off and shutting
// down would end the process as soon as the handler returned, and a thread that is still
// returning when the process ends may be killed with it). Before that, the program ends here,
// after the message being written.
BOOL WINAPI on_console_event(DWORD event) {
    if (win32::request_end(event)) Sleep(INFINITE);
    AcquireSRWLockExclusive(&g_output_lock);
    win32::close_open_sockets();
    // The code Windows gives a console program that Ctrl+C ends.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

class Win32Console : public Console {
public:
    Win32Console() {
        SetConsoleCP(1251);
        SetConsoleOutputCP(1251);
        std::system("color 07");
        SetConsoleCtrlHandler(on_console_event, TRUE);
    }

    void write(std::string_view utf8) override {
        char small[1024];
        std::unique_ptr<char[]> large;
        char* out = small;
        if (utf8.size() > sizeof small) {
            large = std::make_unique<char[]>(utf8.size());
            out = large.get();
        }
        const size_t n = utf8_to_cp1251(utf8, out);
        AcquireSRWLockExclusive(&g_output_lock);
        std::fwrite(out, 1, n, stdout);
        std::fflush(stdout);
        ReleaseSRWLockExclusive(&g_output_lock);
    }
};

class Win32Clock : public Clock {
public:
    void sleep_ms(uint32_t ms) override { win32::pause_ms(ms); }

    uint64_t monotonic_ms() override { return GetTickCount64(); }

    // Local time minus UTC in minutes, daylight saving included.
    static int utc_offset() {
        TIME_ZONE_INFORMATION tz{};
        const DWORD id = GetTimeZoneInformation(&tz);
        LONG bias = tz.Bias;
        if (id == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
        if (id == TIME_ZONE_ID_STANDARD) bias += tz.StandardBias;
        return static_cast<int>(-bias);
    }

    LocalTime now() override {
        SYSTEMTIME t;
        GetLocalTime(&t);
        return LocalTime{t.wDay, t.wMonth, t.wYear, t.wHour, t.wMinute, t.wSecond, utc_offset()};
    }
};

}  // namespace

Console& system_console() {
    static Win32Console console;
    return console;
}

Clock& system_clock() {
    static Win32Clock clock;
    return clock;
}

// The C library's argv is in the ANSI code page; the wide command line has every character.
std::vector<std::string> utf8_arguments(int argc, char** argv) {
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide == nullptr || n != argc) {
        if (wide != nullptr) LocalFree(wide);
        std::vector<std::string> args;
        for (int i = 0; i < argc; ++i) args.push_back(win32::ansi_to_utf8(argv[i]));
        return args;
    }
    std::vector<std::string> args;
    for (int i = 0; i < n; ++i) args.push_back(win32::wide_to_utf8(wide[i]));
    LocalFree(wide);
    return args;
}

}  // namespace qd
