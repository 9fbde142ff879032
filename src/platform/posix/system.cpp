// The console, clock and process set-up of the POSIX programs.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include <langinfo.h>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include "platform/charset.hpp"
#include "platform/end_gate.hpp"
#include "platform/posix/waits.hpp"
#include "platform/system.hpp"

namespace qd {
namespace {

class StdoutConsole : public Console {
public:
    StdoutConsole() {
        std::setlocale(LC_CTYPE, "");
        charset_ = choose_charset(std::getenv("QD_CONSOLE_CHARSET"), nl_langinfo(CODESET));
        std::setlocale(LC_CTYPE, "C");
    }

    void write(std::string_view utf8) override {
        char small[1024];
        std::unique_ptr<char[]> large;
        char* out = small;
        if (utf8.size() > sizeof small) {
            large = std::make_unique<char[]>(utf8.size());
            out = large.get();
        }
        const size_t n = convert_for_console(charset_, utf8, out);
        std::fwrite(out, 1, n, stdout);
        std::fflush(stdout);
    }

private:
    Charset charset_ = Charset::cp1251;
};

class SystemClock : public Clock {
public:
    // Pauses end as close to their time as the kernel can: the default timer slack of 50 us
    // adds up over the thousand pauses of an update (Linux only; elsewhere the default holds).
    SystemClock() {
#ifdef __linux__
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    }

    // An end from outside is acted on here (ending.hpp).
    void sleep_ms(uint32_t ms) override {
        timespec end{};
        ::clock_gettime(CLOCK_MONOTONIC, &end);
        end.tv_sec += static_cast<time_t>(ms / 1000);
        end.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (end.tv_nsec >= 1000000000L) {
            end.tv_nsec -= 1000000000L;
            ++end.tv_sec;
        }
        for (;;) {
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            timespec left{end.tv_sec - now.tv_sec, end.tv_nsec - now.tv_nsec};
            if (left.tv_nsec < 0) {
                left.tv_nsec += 1000000000L;
                --left.tv_sec;
            }
            if (left.tv_sec < 0) {
                end_gate::act_if_requested();
                return;
            }
            const int r = ::ppoll(nullptr, 0, &left, posix::wait_mask());
            end_gate::act_if_requested();
            if (r == 0) return;
        }
    }

    uint64_t monotonic_ms() override {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
    }

    LocalTime now() override {
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        ::localtime_r(&t, &tm);
        return LocalTime{tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour,
                         tm.tm_min,  tm.tm_sec,     static_cast<int>(tm.tm_gmtoff / 60)};
    }
};

}  // namespace

Console& system_console() {
    static StdoutConsole console;
    return console;
}

Clock& system_clock() {
    static SystemClock clock;
    return clock;
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace qd
