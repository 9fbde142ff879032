// Reading the INI configuration file, with the results of the Windows private-profile functions.
// Names, values and the file name are UTF-8 here; `file` may be relative to the working directory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qd {

// Copies the value of `key` in `section` of `file` (at most size - 1 characters) into out, or
// `def` when the file, section or key is missing. Returns the number of characters copied.
size_t ini_read_string(const char* section, const char* key, const char* def, char* out,
                       size_t size, const char* file);

// The value of `key` as an integer (wrapped modulo 2^32): decimal, or binary, octal or
// hexadecimal after a lower-case "0b", "0o" or "0x"; `def` when the file, section or key is
// missing or the value is empty.
uint32_t ini_read_int(const char* section, const char* key, int32_t def, const char* file);

}  // namespace qd
