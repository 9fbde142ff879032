// The update server: its configuration, image and state, and the seams it reaches the world by.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/adapters.hpp"
#include "platform/clock.hpp"
#include "platform/console.hpp"
#include "platform/net.hpp"
#include "protocol/constants.hpp"
#include "protocol/frames.hpp"
#include "platform/journal_file.hpp"
#include "server/config/settings.hpp"
#include "server/journal/journal_state.hpp"
#include "server/loop/loop_state.hpp"
#include "server/parallel/parallel_state.hpp"

namespace qd {

class LiveView;

// The compiler's build date and time ("Sep 10 2025", "20:07:04"), shown in the banner.
struct BuildStamp {
    const char* date;
    const char* time;
};

// Everything the server reaches the world by.
struct Seams {
    Console& con;
    Clock& clock;
    Net& net;
    AdapterSource& adapters;
    // Ends the process at once with the code (a fatal socket error).
    void (*exit_process)(int code);
};

// The exchange with devices: the receive socket and the frame counter, which both engines share,
// and the one-at-a-time loop's send socket (the engine for several devices keeps its own).
struct Exchange {
    int so_rx_s = 0;
    bool rx_held = false;       // port 5008 was held by another program: so_rx_s is unbound
    uint64_t next_bind_ms = 0;  // while it is: the monotonic time of the next try
    int so_tx_s = 0;  // the one-at-a-time loop's send socket, open for one dialogue
    uint32_t counter_frames = 0;
};

struct Server {
    Server(const Seams& seams, BuildStamp stamp)
        : con(seams.con),
          clock(seams.clock),
          net(seams.net),
          adapters(seams.adapters),
          exit_process(seams.exit_process),
          build(stamp) {
        journal.file = &system_journal_file();
    }

    Console& con;
    Clock& clock;
    Net& net;
    AdapterSource& adapters;
    void (*exit_process)(int code);
    BuildStamp build;

    char path[260] = {};  // full path of the INI file
    Settings cfg;
    uint8_t img_bf[IMAGE_SIZE] = {};
    bool image_loaded = false;  // the container was read into img_bf
    uint32_t image_crc = 0;     // CRC-32 of img_bf, taken when it was loaded
    Exchange exchange;
    LoopState loop;
    Journal journal;
    ParallelEngine parallel;  // several devices at once (Parallel=N)
    LiveView* live = nullptr;  // the console's live table on a terminal, if the program has one
};

// img_bf holds what start-up read (loaded: the container's image): its CRC-32 is taken, once.
void note_image(Server& srv, bool loaded);

// Ends the process after a fatal error: the journal lines of the dialogues in progress, then no
// further clean-up.
[[noreturn]] void fatal_exit(Server& srv, int code);

// The version line of the banner.
void say_version(Console& con, BuildStamp build);

// Whether the configuration file at `path` can be read at all (a folder cannot).
bool config_readable(const char* path);

// After "Конфигурация: <path> ": the line that says whether the file's signature is
// INI_SIGNATURE, and the separator.
void say_signature(Console& con, uint32_t id_ini_file);

// The image's CRC-32 line of start-up.
void say_image_crc(Console& con, uint32_t crc);

// Start-up from the command line. Returns the exit code when the program is to end here, and
// nothing when the server is ready for its main loop.
std::optional<int> start_server(Server& srv, int argc, const char* const* argv);

}  // namespace qd
