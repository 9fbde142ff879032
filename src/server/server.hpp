// The update server: its configuration, image and state, and the seams it reaches the world by.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/clock.hpp"
#include "platform/console.hpp"
#include "protocol/constants.hpp"
#include "server/settings.hpp"

namespace qd {

// The compiler's build date and time ("Sep 10 2025", "20:07:04"), shown in the banner.
struct BuildStamp {
    const char* date;
    const char* time;
};

struct Server {
    Server(Console& console, Clock& time_source, BuildStamp stamp)
        : con(console), clock(time_source), build(stamp) {}

    Console& con;
    Clock& clock;
    BuildStamp build;

    char path[260] = {};  // full path of the INI file
    Settings cfg;
    uint8_t img_bf[IMAGE_SIZE] = {};
    bool image_loaded = false;  // the container was read into img_bf
};

// The version line of the banner.
void say_version(Console& con, BuildStamp build);

// Start-up from the command line. Returns the exit code when the program is to end here, and
// nothing when the server is ready for its main loop.
std::optional<int> start_server(Server& srv, int argc, const char* const* argv);

}  // namespace qd
