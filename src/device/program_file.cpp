// Reading a program for the UP1 flash from a file of a UTF-8 name.
#include "device/program_file.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/files.hpp"

namespace qd::device {

std::optional<Bytes> read_program(const std::string& path, std::string& error) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(open_file(path.c_str(), "rb"),
                                                              std::fclose);
    if (!in) {
        error = "не удалось открыть файл " + path;
        return std::nullopt;
    }
    // One byte more than the area holds tells a file that is too large.
    Bytes bytes(IMAGE_SIZE + 1);
    size_t n = 0;
    while (n < bytes.size()) {
        const size_t got = std::fread(bytes.data() + n, 1, bytes.size() - n, in.get());
        if (got == 0) break;
        n += got;
    }
    if (std::ferror(in.get()) != 0) {
        error = "не удалось прочитать файл " + path;
        return std::nullopt;
    }
    if (n > IMAGE_SIZE) {
        error = "файл " + path + " больше области UP1 (" + std::to_string(IMAGE_SIZE) + " байт)";
        return std::nullopt;
    }
    bytes.resize(n);
    return bytes;
}

Bytes as_flash(const Bytes& program) {
    Bytes flash(IMAGE_SIZE, 0xFF);
    std::copy(
        program.begin(),
        program.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(program.size(), IMAGE_SIZE)),
        flash.begin());
    return flash;
}

}  // namespace qd::device
