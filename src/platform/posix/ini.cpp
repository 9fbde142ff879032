// INI reading on POSIX, giving what the Windows private-profile functions give: the text between
// '[' and the last ']' of a line, trimmed, names a section; a line with '=' is a key, its name
// and value trimmed; names compare without regard to case; only the first matching section and,
// in it, the first matching key count; a value in matching quotes loses them, and a value ends
// at a zero byte. Integers are read as the system's string-to-integer conversion with base 0
// reads them: decimal, or binary, octal or hexadecimal after a lower-case "0b", "0o" or "0x".
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/ini.hpp"

namespace qd {
namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\x1a';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool read_file(const char* file, std::string& content) {
    std::FILE* f = std::fopen(file, "rb");
    if (f == nullptr) return false;
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, got);
    std::fclose(f);
    if (content.rfind("\xEF\xBB\xBF", 0) == 0) content.erase(0, 3);
    return true;
}

// Splits the content into lines at CR and LF.
template <typename F>
void for_each_line(std::string_view content, F&& visit) {
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = content.size();
        if (!visit(content.substr(pos, end - pos))) return;
        pos = end + 1;
    }
}

// Finds the value of the key; false when the section or key is missing or the key has no '='.
bool find_value(std::string_view content, std::string_view section, std::string_view key,
                std::string_view& value) {
    enum { before, inside, after } where = before;
    bool found = false;
    for_each_line(content, [&](std::string_view line) {
        line = trim(line);
        if (line.empty()) return true;
        if (line.front() == '[') {
            const size_t close = line.rfind(']');
            if (close != std::string_view::npos) {
                if (where == inside) where = after;
                if (where == before && same_name(trim(line.substr(1, close - 1)), section)) {
                    where = inside;
                }
                return where != after;
            }
        }
        if (where != inside) return true;
        const size_t eq = line.find('=');
        const std::string_view name = trim(line.substr(0, eq));
        if (!same_name(name, key)) return true;
        if (eq != std::string_view::npos) {
            value = trim(line.substr(eq + 1));
            found = true;
        }
        return false;
    });
    return found;
}

size_t copy_value(std::string_view value, char* out, size_t size) {
    if (size == 0) return 0;
    value = value.substr(0, value.find('\0'));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    const size_t n = value.size() < size - 1 ? value.size() : size - 1;
    value.copy(out, n);
    out[n] = '\0';
    return n;
}

// The base that a prefix names ("0b", "0o", "0x", in lower case only), stepping over it; 10
// without one.
uint32_t number_base(const char*& p) {
    if (p[0] != '0') return 10;
    const uint32_t base = p[1] == 'b' ? 2 : p[1] == 'o' ? 8 : p[1] == 'x' ? 16 : 10;
    if (base != 10) p += 2;
    return base;
}

// The value of a digit or letter as a digit (a or A is 10, up to z or Z); 36 for anything else.
uint32_t digit_value(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
    if (c >= 'a' && c <= 'z') return static_cast<uint32_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'Z') return static_cast<uint32_t>(c - 'A' + 10);
    return 36;
}

}  // namespace

size_t ini_read_string(const char* section, const char* key, const char* def, char* out,
                       size_t size, const char* file) {
    std::string content;
    std::string_view value;
    if (read_file(file, content) && find_value(content, trim(section), trim(key), value)) {
        return copy_value(value, out, size);
    }
    return copy_value(def, out, size);
}

uint32_t ini_read_int(const char* section, const char* key, int32_t def, const char* file) {
    char text[30];  // the Windows reader looks at no more than 29 characters of the value
    if (ini_read_string(section, key, "", text, sizeof text, file) == 0) {
        return static_cast<uint32_t>(def);
    }
    const char* p = text;
    while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ') ++p;
    const bool minus = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    const uint32_t base = number_base(p);
    uint32_t total = 0;
    for (uint32_t d = 0; (d = digit_value(*p)) < base; ++p) total = total * base + d;
    return minus ? 0u - total : total;
}

}  // namespace qd
