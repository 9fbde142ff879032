// What the engine for several devices keeps: whether its send socket is open, and a place for
// each dialogue it can hold.
#pragma once

#include <cstdint>

#include "server/rack/dialogue_state.hpp"

namespace qd {

inline constexpr uint32_t PARALLEL_MIN = 2;
inline constexpr uint32_t PARALLEL_MAX = 64;

struct ParallelEngine {
    bool started = false;
    ParallelDialogue slots[PARALLEL_MAX];
};

}  // namespace qd
