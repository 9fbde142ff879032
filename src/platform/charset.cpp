// Console charsets: UTF-8 texts turned into Windows-1251 or cleaned UTF-8, and the choice of one.
#include "platform/charset.hpp"

#include <cstdint>

namespace qd {
namespace {

// Code points of the Windows-1251 bytes 0x80..0xBF (0 where the byte has no character).
constexpr uint16_t kHigh[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

constexpr uint32_t kBad = 0xFFFFFFFF;

// Decodes one UTF-8 sequence at in[pos]; advances pos. Returns kBad for a malformed one
// (overlong forms, surrogates and values above U+10FFFF included).
uint32_t next_code_point(std::string_view in, size_t& pos) {
    const auto lead = static_cast<uint8_t>(in[pos++]);
    if (lead < 0x80) return lead;
    size_t extra = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1Fu, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0Fu, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07u, min = 0x10000;
    } else {
        return kBad;
    }
    for (size_t k = 0; k < extra; ++k) {
        if (pos >= in.size()) return kBad;
        const auto c = static_cast<uint8_t>(in[pos]);
        if ((c & 0xC0) != 0x80) return kBad;
        cp = (cp << 6) | (c & 0x3Fu);
        ++pos;
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kBad;
    return cp;
}

char to_cp1251(uint32_t cp) {
    if (cp < 0x80) return static_cast<char>(cp);
    if (cp >= 0x0410 && cp <= 0x044F) return static_cast<char>(cp - 0x0410 + 0xC0);
    for (uint8_t i = 0; i < 64; ++i) {
        if (kHigh[i] != 0 && kHigh[i] == cp) return static_cast<char>(0x80 + i);
    }
    return '?';
}

}  // namespace

size_t utf8_to_cp1251(std::string_view in, char* out) {
    size_t n = 0;
    for (size_t pos = 0; pos < in.size();) {
        const uint32_t cp = next_code_point(in, pos);
        out[n++] = cp == kBad ? '?' : to_cp1251(cp);
    }
    return n;
}

size_t utf8_clean(std::string_view in, char* out) {
    size_t n = 0;
    for (size_t pos = 0; pos < in.size();) {
        const size_t start = pos;
        if (next_code_point(in, pos) == kBad) {
            out[n++] = '?';
        } else {
            for (size_t k = start; k < pos; ++k) out[n++] = in[k];
        }
    }
    return n;
}

size_t convert_for_console(Charset cs, std::string_view in, char* out) {
    return cs == Charset::cp1251 ? utf8_to_cp1251(in, out) : utf8_clean(in, out);
}

}  // namespace qd

namespace qd {
namespace {

bool same_text_ignoring_case(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        const char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

bool names_utf8(const char* name) {
    return same_text_ignoring_case(name, "utf-8") || same_text_ignoring_case(name, "utf8");
}

bool names_cp1251(const char* name) {
    return same_text_ignoring_case(name, "cp1251") ||
           same_text_ignoring_case(name, "windows-1251");
}

}  // namespace

Charset choose_charset(const char* forced, const char* codeset) {
    if (forced != nullptr) {
        if (same_text_ignoring_case(forced, "cp1251")) return Charset::cp1251;
        if (names_utf8(forced)) return Charset::utf8;
    }
    if (codeset != nullptr && names_cp1251(codeset)) return Charset::cp1251;
    return Charset::utf8;
}

}  // namespace qd
