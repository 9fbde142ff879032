#include "container/container.hpp"

#include <cstdio>
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

// Position of the end of the file, 0xFFFFFFFF when it cannot be measured.
uint32_t file_size(std::FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return 0xFFFFFFFFu;
    const long end = std::ftell(f);
    if (end < 0 || static_cast<unsigned long long>(end) > 0xFFFFFFFEull) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(end);
}

// A zeroed working buffer of IMAGE_SIZE bytes, or none.
std::unique_ptr<uint8_t[]> image_buffer() {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[IMAGE_SIZE]());
}

void fill_pattern(uint8_t* buf) {
    for (uint32_t i = 0; i < IMAGE_SIZE; i += 2) {
        buf[i] = 0x39;
        buf[i + 1] = 0xE3;
    }
}

}  // namespace

int8_t read_container(Console& con, const char* name_file, uint8_t* flash_bin_img) {
    File f(open_file(name_file, "rb"));
    if (!f) {
        say(con, "Cannot open .upk file (%s)\n", name_file);
        return -1;
    }
    say(con, "Открываем .upk файл (%s) ", name_file);
    const uint32_t sizefile = file_size(f.get());
    say(con, "размер файла: %u byte\n", sizefile);
    if (sizefile > IMAGE_SIZE) {
        say_line(con, "Размер файла больше 122880 byte, файл не загружен");
        return -2;
    }
    std::rewind(f.get());
    const size_t got = std::fread(flash_bin_img, 1, IMAGE_SIZE, f.get());
    say(con, "Прочитано в память: %u byte\n", static_cast<unsigned>(got));
    return 1;
}

int8_t run_file_converter(Console& con, Clock& clock) {
    auto buff_f = image_buffer();
    auto buff_test = image_buffer();
    auto buff_x = image_buffer();
    if (!buff_f || !buff_test || !buff_x) {
        say_line(con, "Error malloc! ");
        return -4;
    }
    File in(open_file("soft.bin", "rb"));
    if (!in) return -1;

    say(con, "Open file soft.bin ");
    const uint32_t sizeinfile = file_size(in.get());
    say(con, ", size: %u; ", sizeinfile);
    if (sizeinfile > IMAGE_SIZE) return -3;

    std::rewind(in.get());
    const size_t got = std::fread(buff_f.get(), 1, sizeinfile, in.get());
    say(con, "read: %d;\n", static_cast<int>(got));
    fill_pattern(buff_x.get());

    File temp(open_file("file.temp", "w+b"));
    if (!temp) {
        say_line(con, "No create output file.temp file");
        return -2;
    }
    say(con, "Create .upk file ");
    const size_t written = std::fwrite(buff_x.get(), 1, IMAGE_SIZE, temp.get());
    say(con, ": %d byte; ", static_cast<int>(written));
    std::rewind(temp.get());
    std::fwrite(buff_f.get(), 1, sizeinfile, temp.get());
    clock.sleep_ms(1);
    std::rewind(temp.get());
    const size_t tested = std::fread(buff_test.get(), 1, IMAGE_SIZE, temp.get());
    say(con, "test read: %d; ", static_cast<int>(tested));
    const uint32_t crc = fullcalk_crc32(buff_test.get(), IMAGE_SIZE, CRC32_POLY);
    say(con, "CRC32 (0x4c11DB7): %X; ", crc);
    temp.reset();
    in.reset();

    char namef[32];
    std::snprintf(namef, sizeof namef, "%X.upk", crc);
    rename_noreplace("file.temp", namef);
    rename_noreplace("soft.bin", "soft.obin");
    say_line(con, " End process.");
    say_separator(con);
    return 1;
}

}  // namespace qd
