// Console charsets: texts are kept as UTF-8 and leave the program as Windows-1251 or UTF-8.
#pragma once

#include <cstddef>
#include <string_view>

namespace qd {

enum class Charset { cp1251, utf8 };

// Both conversions write at most in.size() bytes to out and return the count written.
// A character with no Windows-1251 form, and every malformed UTF-8 sequence, becomes '?'.
size_t utf8_to_cp1251(std::string_view in, char* out);
// Copies well-formed UTF-8 as it is and puts '?' for each malformed sequence.
size_t utf8_clean(std::string_view in, char* out);

size_t convert_for_console(Charset cs, std::string_view in, char* out);

}  // namespace qd

namespace qd {

// The charset of the standard output, for a terminal, a pipe and a file alike: `forced` is the
// value of QD_CONSOLE_CHARSET ("cp1251" or "utf-8"; anything else is not a choice); otherwise
// Windows-1251 only when the locale's charset (`codeset`) is Windows-1251, and UTF-8 for every
// other one, the C locale's included.
Charset choose_charset(const char* forced, const char* codeset);

}  // namespace qd
