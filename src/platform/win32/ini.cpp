// INI reading through the system's private-profile functions. Names and values cross this edge as
// UTF-8; the functions themselves are given and give the ANSI code page.
#include <string>

#include <windows.h>

#include "platform/ini.hpp"
#include "platform/win32/text.hpp"

namespace qd {
namespace {

// The private-profile functions look for a file named without a folder in the Windows folder;
// a relative name here means, as on every platform, relative to the working directory.
std::string profile_path(const char* file) {
    const std::string ansi = win32::utf8_to_ansi(file);
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(ansi.c_str(), MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) return ansi;
    return std::string(full, n);
}

}  // namespace

size_t ini_read_string(const char* section, const char* key, const char* def, char* out,
                       size_t size, const char* file) {
    if (size == 0) return 0;
    std::string value(size, '\0');
    const DWORD n = GetPrivateProfileStringA(
        win32::utf8_to_ansi(section).c_str(), win32::utf8_to_ansi(key).c_str(),
        win32::utf8_to_ansi(def).c_str(), value.data(), static_cast<DWORD>(size),
        profile_path(file).c_str());
    value.resize(n);
    return win32::copy_utf8(win32::ansi_to_utf8(value), out, size);
}

uint32_t ini_read_int(const char* section, const char* key, int32_t def, const char* file) {
    return GetPrivateProfileIntA(win32::utf8_to_ansi(section).c_str(),
                                 win32::utf8_to_ansi(key).c_str(), def,
                                 profile_path(file).c_str());
}

}  // namespace qd
