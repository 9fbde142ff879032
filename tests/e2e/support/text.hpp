// Console bytes between charsets, for comparing what a program printed.
#pragma once

#include <string>

namespace qd::test {

// `text` from charset `from` to charset `to` (iconv names, e.g. "CP1251", "UTF-8");
// "(iconv cannot convert)" when the C library knows no such conversion.
std::string convert(const std::string& text, const char* to, const char* from);

// What a Windows-1251 console shows, as UTF-8.
inline std::string to_utf8(const std::string& cp1251) { return convert(cp1251, "UTF-8", "CP1251"); }

}  // namespace qd::test
