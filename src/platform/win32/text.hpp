// Text at the edge of the Windows platform layer: the system's "A" functions speak the ANSI code
// page, the rest of the program speaks UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qd::win32 {

std::string ansi_to_utf8(std::string_view ansi);
// Characters with no form in the ANSI code page become the system's default character ('?').
std::string utf8_to_ansi(std::string_view utf8);
std::wstring utf8_to_wide(std::string_view utf8);
std::string wide_to_utf8(const std::wstring& wide);

// Copies at most size - 1 bytes of utf8 into out, never a part of a character, and ends it with
// a terminator. Returns the number of bytes copied.
size_t copy_utf8(std::string_view utf8, char* out, size_t size);

}  // namespace qd::win32
