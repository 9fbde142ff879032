// ini_dump: prints what the platform's INI reader gives for the sections and keys of some INI
// files, so that the readers of two platforms can be compared on the same files.
//
//     ini_dump FILE...
//
// The names asked for are found by a plain scan of each file's bytes (the text of every line
// that starts with '[' up to its last ']', and the text before the first '=' of every other
// line, trimmed of blanks), each also with its letters' case swapped, joined by the server's own
// sections and keys (qd::INI_KEYS) and by names that no file holds. Every section is asked for
// every key: as a string into 260, 32 and 5 bytes, and as an integer with two defaults. One line
// per pair; bytes outside printable ASCII are written as \xHH.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "platform/ini.hpp"
#include "server/config/settings.hpp"

namespace {

using Names = std::vector<std::string>;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string trimmed(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && is_blank(s[b])) ++b;
    while (e > b && is_blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

void add(Names& names, const std::string& name) {
    if (name.empty() || name.size() > 1200) return;
    for (const auto& n : names) {
        if (n == name) return;
    }
    names.push_back(name);
}

// The server's sections and keys, each once, then names that no file holds.
Names server_names(const char* qd::IniKey::*name, std::initializer_list<const char*> extra) {
    Names names;
    for (const qd::IniKey& k : qd::INI_KEYS) add(names, k.*name);
    for (const char* n : extra) add(names, n);
    return names;
}

std::string case_swapped(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

std::vector<std::string> lines_of(const char* file) {
    std::ifstream in(file, std::ios::binary);
    const std::string content{std::istreambuf_iterator<char>(in), {}};
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = content.size();
        lines.push_back(content.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

void scan(const char* file, Names& sections, Names& keys) {
    for (const std::string& raw : lines_of(file)) {
        const std::string line = trimmed(raw);
        if (!line.empty() && line[0] == '[') {
            const size_t close = line.rfind(']');
            if (close != std::string::npos && close > 0) {
                add(sections, trimmed(line.substr(1, close - 1)));
                continue;
            }
        }
        const size_t eq = line.find('=');
        add(keys, trimmed(line.substr(0, eq)));
    }
}

// The names asked for: the given ones, and each found one as it is and with its case swapped.
Names asked(Names names, const Names& found) {
    for (const auto& n : found) {
        add(names, n);
        add(names, case_swapped(n));
    }
    return names;
}

std::string shown(const char* text, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

void dump(const char* file) {
    Names found_sections;
    Names found_keys;
    scan(file, found_sections, found_keys);
    const Names keys = asked(server_names(&qd::IniKey::key, {"K", "NoSuchKey"}), found_keys);
    for (const auto& s :
         asked(server_names(&qd::IniKey::section, {"S", "NO_SUCH_SECTION"}), found_sections)) {
        for (const auto& k : keys) {
            char path[260];  // the journal's path is read into a path-sized buffer
            char wide[32];
            char narrow[5];
            const size_t np =
                qd::ini_read_string(s.c_str(), k.c_str(), "(default)", path, sizeof path, file);
            const size_t nw =
                qd::ini_read_string(s.c_str(), k.c_str(), "(default)", wide, sizeof wide, file);
            const size_t nn =
                qd::ini_read_string(s.c_str(), k.c_str(), "dflt!", narrow, sizeof narrow, file);
            const uint32_t i1 = qd::ini_read_int(s.c_str(), k.c_str(), 77, file);
            const uint32_t i2 = qd::ini_read_int(s.c_str(), k.c_str(), -3, file);
            std::printf("%s [%s] %s: s260=%u\"%s\" s32=%u\"%s\" s5=%u\"%s\" i=%u d=%u\n", file,
                        shown(s.data(), s.size()).c_str(), shown(k.data(), k.size()).c_str(),
                        static_cast<unsigned>(np), shown(path, np).c_str(),
                        static_cast<unsigned>(nw), shown(wide, nw).c_str(),
                        static_cast<unsigned>(nn), shown(narrow, nn).c_str(),
                        static_cast<unsigned>(i1), static_cast<unsigned>(i2));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ini_dump FILE...\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) dump(argv[i]);
    return 0;
}
