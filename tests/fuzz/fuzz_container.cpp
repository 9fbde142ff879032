// Arbitrary files as a container to load and as soft.bin to convert.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

#include "container/container.hpp"
#include "protocol/constants.hpp"

namespace {

void write(const char* name, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(name, "wb");
    if (f == nullptr) return;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() /
                 ("qd-fuzz-container-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        std::filesystem::current_path(d);
        return d;
    }();
    for (const auto& e : std::filesystem::directory_iterator(dir)) std::filesystem::remove(e);
    qd::RecordingConsole con;
    qd::VirtualClock clock;
    auto image = std::make_unique<uint8_t[]>(qd::IMAGE_SIZE);
    write("c.upk", data, size);
    qd::read_container(con, "c.upk", image.get());
    write("soft.bin", data, size);
    qd::run_file_converter(con, clock);
    return 0;
}
