// Arbitrary bytes as a container to load and as a program to make a container of, in memory.
// The first input and one in 256 after it also go through the files (c.upk loaded, soft.bin
// converted) and must give what memory gave: the same result, console text and image, and a
// container file named after its CRC-32 holding the container made in memory.
//
// The first byte shapes the bytes: with bit 0 clear they are the rest of the input as it is;
// with bit 0 set they are the rest repeated to IMAGE_SIZE - 64 + (first byte >> 1) bytes, so
// that sizes just under, at and over IMAGE_SIZE are reached too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "container/container.hpp"
#include "protocol/bytes.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "support/recording_console.hpp"
#include "support/virtual_clock.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kUntouched = 0xA5;  // what a buffer holds where nothing may be written
constexpr unsigned kFileShare = 256;  // one input in kFileShare goes through the files

void expect(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_container: %s\n", what);
    std::abort();
}

// The bytes of an input, in a buffer kept from input to input (fresh memory for each would
// cost more than the code under test).
const Bytes& shape(const uint8_t* data, size_t size) {
    static Bytes out;
    out.clear();
    if (size == 0) return out;
    if ((data[0] & 1u) == 0) {
        out.assign(data + 1, data + size);
        return out;
    }
    out.assign(qd::IMAGE_SIZE - 64 + (data[0] >> 1u), 0);
    if (size == 1) return out;
    size_t done = std::min(size - 1, out.size());
    std::memcpy(out.data(), data + 1, done);
    while (done < out.size()) {  // doubling what is there repeats the rest of the input
        const size_t n = std::min(done, out.size() - done);
        std::memcpy(out.data() + done, out.data(), n);
        done += n;
    }
    return out;
}

bool all_untouched(const uint8_t* p, size_t n) {
    static const Bytes untouched(qd::IMAGE_SIZE, kUntouched);
    return n == 0 || std::memcmp(p, untouched.data(), n) == 0;
}

// What loading gave: the result, the console text and the image buffer.
struct Loaded {
    int8_t result = 0;
    std::string text;
    Bytes image = Bytes(qd::IMAGE_SIZE);

    void clear() {
        result = 0;
        text.clear();
        std::memset(image.data(), kUntouched, image.size());
    }
};

const Loaded& load_in_memory(const Bytes& bytes) {
    static Loaded l;
    l.clear();
    qd::RecordingConsole con;
    l.result = qd::load_container(con, "c.upk", bytes.data(), bytes.size(), l.image.data());
    l.text = con.text();
    const bool fits = bytes.size() == qd::IMAGE_SIZE;
    expect(l.result == (fits ? 1 : bytes.size() > qd::IMAGE_SIZE ? -2 : -3),
           "load: result for the size");
    const size_t taken = fits ? bytes.size() : 0;
    expect(taken == 0 || std::memcmp(l.image.data(), bytes.data(), taken) == 0,
           "load: the image does not start with the container");
    expect(all_untouched(l.image.data() + taken, qd::IMAGE_SIZE - taken),
           "load: written past the container");
    return l;
}

// The container of no program: the fill alone.
const Bytes& fill_only() {
    static const Bytes fill = [] {
        Bytes c(qd::IMAGE_SIZE);
        qd::make_container(nullptr, 0, c.data());
        expect(std::memcmp(c.data() + 2, c.data(), c.size() - 2) == 0,
               "make: the fill is not one pair repeated");
        return c;
    }();
    return fill;
}

// The container made of the program, or an empty buffer when it was refused.
const Bytes& make_in_memory(const Bytes& program) {
    static Bytes c;
    c.assign(qd::IMAGE_SIZE, kUntouched);
    const bool made = qd::make_container(program.data(), program.size(), c.data());
    const bool fits = program.size() <= qd::IMAGE_SIZE;
    expect(made == fits, "make: result for the size");
    if (!made) {
        expect(all_untouched(c.data(), c.size()), "make: refused, but the buffer was written");
        c.clear();
        return c;
    }
    const size_t n = program.size();
    expect(n == 0 || std::memcmp(c.data(), program.data(), n) == 0,
           "make: the container does not start with the program");
    expect(std::memcmp(c.data() + n, fill_only().data() + n, qd::IMAGE_SIZE - n) == 0,
           "make: the fill after the program differs from the fill alone");
    return c;
}

void check_name(uint32_t crc) {
    const std::string name = qd::container_name(crc);
    char* end = nullptr;
    const unsigned long back = std::strtoul(name.c_str(), &end, 16);
    expect(back == crc && std::string(end) == ".upk", "name: not the CRC-32 then .upk");
    for (const char* p = name.c_str(); p != end; ++p) {
        expect(*p < 'a' || *p > 'f', "name: lower-case hex digit");
    }
}

void write_file(const char* name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// The bytes of a file; empty when there is none.
Bytes read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary | std::ios::ate);
    if (!in) return {};
    Bytes bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// A working directory of this process's own, entered for one input and left after it.
class InWorkDir {
public:
    InWorkDir() : previous_(std::filesystem::current_path()) {
        std::filesystem::create_directories(dir());
        for (const auto& e : std::filesystem::directory_iterator(dir())) {
            std::filesystem::remove_all(e);
        }
        std::filesystem::current_path(dir());
    }
    ~InWorkDir() { std::filesystem::current_path(previous_); }
    InWorkDir(const InWorkDir&) = delete;
    InWorkDir& operator=(const InWorkDir&) = delete;

private:
    // Removed when the process ends normally.
    struct Dir {
        std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("qd-fuzz-container-" + std::to_string(::getpid()));
        ~Dir() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static const std::filesystem::path& dir() {
        static const Dir d;
        return d.path;
    }

    std::filesystem::path previous_;
};

void load_from_file(const Bytes& bytes, const Loaded& in_memory) {
    write_file("c.upk", bytes);
    static Loaded f;
    f.clear();
    qd::RecordingConsole con;
    f.result = qd::read_container(con, "c.upk", f.image.data());
    expect(f.result == in_memory.result, "file load: another result than in memory");
    expect(con.text() == in_memory.text, "file load: another console text than in memory");
    expect(f.image == in_memory.image, "file load: another image than in memory");
}

void convert_file(const Bytes& program, const Bytes& container) {
    write_file("soft.bin", program);
    qd::RecordingConsole con;
    qd::VirtualClock clock;
    const int8_t r = qd::run_file_converter(con, clock);
    if (container.empty()) {
        expect(r == -3, "convert: a program longer than an image not refused");
        expect(read_file("soft.bin") == program, "convert: refused, but soft.bin changed");
        return;
    }
    expect(r == 1, "convert: a program that fits not converted");
    const uint32_t crc = qd::fullcalk_crc32(container.data(), qd::IMAGE_SIZE, qd::CRC32_POLY);
    expect(read_file(qd::container_name(crc)) == container,
           "convert: the container file differs from the container made in memory");
    expect(read_file("soft.obin") == program, "convert: soft.obin is not the program");
    expect(!std::filesystem::exists("soft.bin"), "convert: soft.bin left");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static unsigned runs = 0;
    const Bytes& bytes = shape(data, size);
    const Loaded& loaded = load_in_memory(bytes);
    const Bytes& container = make_in_memory(bytes);
    if (size >= 4) check_name(qd::byte_to_int(data, 0));
    if (runs++ % kFileShare == 0) {
        const InWorkDir in_dir;
        load_from_file(bytes, loaded);
        convert_file(bytes, container);
    }
    return 0;
}
