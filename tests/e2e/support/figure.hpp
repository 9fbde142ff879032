// Figures that a test measured, printed as lines starting with "[figure]" (see
// docs/robustness.md); tests never assert them as timings.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace qd::test {

void figure(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void figure(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::printf("[figure] ");
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
    va_end(args);
}

inline double seconds_since(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace qd::test
