#include "device/program_file.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace qd::device {

std::optional<Bytes> read_program(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "не удалось открыть файл " + path;
        return std::nullopt;
    }
    Bytes bytes;
    bytes.reserve(IMAGE_SIZE + 1);
    std::istreambuf_iterator<char> it(in);
    for (; it != std::istreambuf_iterator<char>() && bytes.size() <= IMAGE_SIZE; ++it) {
        bytes.push_back(static_cast<uint8_t>(*it));
    }
    if (in.bad()) {
        error = "не удалось прочитать файл " + path;
        return std::nullopt;
    }
    if (bytes.size() > IMAGE_SIZE) {
        error = "файл " + path + " больше области UP1 (" + std::to_string(IMAGE_SIZE) + " байт)";
        return std::nullopt;
    }
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
