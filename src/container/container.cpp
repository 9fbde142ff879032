// Loading a container into the image buffer, and turning soft.bin into a container.
#include "container/container.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/files.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"

namespace qd {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr uint32_t kUnmeasured = 0xFFFFFFFFu;

// A size as the loader and the converter report it; kUnmeasured beyond 32 bits.
uint32_t measured(unsigned long long size) {
    return size > 0xFFFFFFFEull ? kUnmeasured : static_cast<uint32_t>(size);
}

// Position of the end of the file, kUnmeasured when it cannot be measured.
uint32_t file_size(std::FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return kUnmeasured;
    const long end = std::ftell(f);
    if (end < 0) return kUnmeasured;
    return measured(static_cast<unsigned long long>(end));
}

// A zeroed working buffer of IMAGE_SIZE bytes, or none.
std::unique_ptr<uint8_t[]> image_buffer() {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[IMAGE_SIZE]());
}

// 0x39 0xE3 repeated over the whole image: the first pair, then doubled.
void fill_pattern(uint8_t* buf) {
    buf[0] = 0x39;
    buf[1] = 0xE3;
    for (uint32_t done = 2; done < IMAGE_SIZE; done *= 2) {
        std::memcpy(buf + done, buf, std::min(done, IMAGE_SIZE - done));
    }
}

// The container's opening and size lines; a container is exactly IMAGE_SIZE bytes: -2 after
// the refusal line when it is longer, -3 when it is shorter (a cut copy), else 1.
int8_t check_container_size(Console& con, const char* name_file, uint32_t size) {
    say(con, "Открываем .upk файл (%s) ", name_file);
    say(con, "размер файла: %u byte\n", size);
    if (size > IMAGE_SIZE) {
        say_line(con, "Размер файла больше 122880 byte, файл не загружен");
        return -2;
    }
    if (size < IMAGE_SIZE) {
        say_line(con, "Размер файла меньше 122880 byte, файл не загружен");
        return -3;
    }
    return 1;
}

// The file name without its folders: what follows the last '/' or '\'.
const char* base_name(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return base;
}

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool is_upk_extension(const char* ext) {
    constexpr char kExt[] = ".upk";
    for (size_t i = 0; i < sizeof kExt; ++i) {
        const char c = ext[i];
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != kExt[i]) return false;
    }
    return true;
}

void say_loaded(Console& con, size_t got) {
    say(con, "Прочитано в память: %u byte\n", static_cast<unsigned>(got));
}

// The converter's three working buffers: the program as read, the container made of it, and
// the container as read back from file.temp.
struct ConverterBuffers {
    std::unique_ptr<uint8_t[]> program = image_buffer();
    std::unique_ptr<uint8_t[]> container = image_buffer();
    std::unique_ptr<uint8_t[]> check = image_buffer();

    bool obtained() const { return program && container && check; }
};

// Reads soft.bin into program and gives its size; 1, or the converter's -1 (no soft.bin) or
// -3 (too long, or not measurable).
int8_t read_soft_bin(Console& con, uint8_t* program, uint32_t& size) {
    File in(open_file("soft.bin", "rb"));
    if (!in) return -1;
    say(con, "Open file soft.bin ");
    size = file_size(in.get());
    say(con, ", size: %u; ", size);
    if (size > IMAGE_SIZE) return -3;
    std::rewind(in.get());
    const size_t got = std::fread(program, 1, size, in.get());
    say(con, "read: %d;\n", static_cast<int>(got));
    return 1;
}

// Writes the container to file.temp, reads it back into check and gives the CRC-32 of what was
// read; 1, or the converter's -2 when file.temp cannot be created.
int8_t write_temp(Console& con, Clock& clock, const uint8_t* container, uint8_t* check,
                  uint32_t& crc) {
    File temp(open_file("file.temp", "w+b"));
    if (!temp) {
        say_line(con, "No create output file.temp file");
        return -2;
    }
    say(con, "Create .upk file ");
    const size_t written = std::fwrite(container, 1, IMAGE_SIZE, temp.get());
    say(con, ": %d byte; ", static_cast<int>(written));
    clock.sleep_ms(1);
    std::rewind(temp.get());
    const size_t tested = std::fread(check, 1, IMAGE_SIZE, temp.get());
    say(con, "test read: %d; ", static_cast<int>(tested));
    crc = fullcalk_crc32(check, IMAGE_SIZE, CRC32_POLY);
    say(con, "CRC32 (0x4c11DB7): %X; ", crc);
    return 1;
}

}  // namespace

int8_t read_container(Console& con, const char* name_file, uint8_t* flash_bin_img) {
    File f(open_file(name_file, "rb"));
    if (!f) {
        say(con, "Cannot open .upk file (%s)\n", name_file);
        return -1;
    }
    if (const int8_t r = check_container_size(con, name_file, file_size(f.get())); r < 0) {
        return r;
    }
    std::rewind(f.get());
    const size_t got = std::fread(flash_bin_img, 1, IMAGE_SIZE, f.get());
    say_loaded(con, got);
    return got == IMAGE_SIZE ? 1 : -4;
}

int8_t load_container(Console& con, const char* name_file, const uint8_t* bytes, size_t size,
                      uint8_t* flash_bin_img) {
    if (const int8_t r = check_container_size(con, name_file, measured(size)); r < 0) return r;
    std::memcpy(flash_bin_img, bytes, size);
    say_loaded(con, size);
    return 1;
}

NameCheck check_container_name(const char* name_file, uint32_t crc) {
    const char* name = base_name(name_file);
    size_t digits = 0;
    uint32_t number = 0;
    for (; is_hex_digit(name[digits]); ++digits) {
        if (digits == 8) return NameCheck::not_a_crc;
        const char c = name[digits];
        const int value = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        number = number << 4 | static_cast<uint32_t>(value);
    }
    if (digits == 0 || !is_upk_extension(name + digits)) return NameCheck::not_a_crc;
    return number == crc ? NameCheck::matches : NameCheck::differs;
}

void say_name_check(Console& con, NameCheck check) {
    switch (check) {
        case NameCheck::matches:
            break;
        case NameCheck::differs:
            say_line(con, "CRC32 образа не совпадает с именем файла, файл не загружен");
            break;
        case NameCheck::not_a_crc:
            say_line(con, "Имя файла не является CRC32 образа, образ не проверен");
            break;
    }
}

bool verify_container_name(Console& con, const char* name_file, uint32_t crc) {
    const NameCheck check = check_container_name(name_file, crc);
    say_name_check(con, check);
    return check != NameCheck::differs;
}

int8_t run_file_converter(Console& con, Clock& clock) {
    ConverterBuffers buf;
    if (!buf.obtained()) {
        say_line(con, "Error malloc! ");
        return -4;
    }
    uint32_t size = 0;
    if (const int8_t r = read_soft_bin(con, buf.program.get(), size); r < 0) return r;
    make_container(buf.program.get(), size, buf.container.get());
    uint32_t crc = 0;
    if (const int8_t r = write_temp(con, clock, buf.container.get(), buf.check.get(), crc); r < 0) {
        return r;
    }
    rename_noreplace("file.temp", container_name(crc).c_str());
    rename_noreplace("soft.bin", "soft.obin");
    say_line(con, " End process.");
    say_separator(con);
    return 1;
}

bool make_container(const uint8_t* program, size_t size, uint8_t* container) {
    if (size > IMAGE_SIZE) return false;
    fill_pattern(container);
    if (size > 0) std::memcpy(container, program, size);
    return true;
}

std::string container_name(uint32_t crc) {
    char name[16];
    std::snprintf(name, sizeof name, "%X.upk", crc);
    return name;
}

}  // namespace qd
