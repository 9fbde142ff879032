// Text between UTF-8 and the Windows code pages and wide strings.
#include "platform/win32/text.hpp"

#include <cstring>

#include <windows.h>

namespace qd::win32 {
namespace {

std::wstring to_wide(UINT code_page, std::string_view text) {
    if (text.empty()) return {};
    const int len = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(code_page, 0, text.data(), len, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), len, wide.data(), n);
    return wide;
}

std::string from_wide(UINT code_page, const std::wstring& wide) {
    if (wide.empty()) return {};
    const int len = static_cast<int>(wide.size());
    const int n = WideCharToMultiByte(code_page, 0, wide.data(), len, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(code_page, 0, wide.data(), len, text.data(), n, nullptr, nullptr);
    return text;
}

bool continues_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string ansi_to_utf8(std::string_view ansi) {
    return from_wide(CP_UTF8, to_wide(CP_ACP, ansi));
}

std::string utf8_to_ansi(std::string_view utf8) {
    return from_wide(CP_ACP, to_wide(CP_UTF8, utf8));
}

std::wstring utf8_to_wide(std::string_view utf8) { return to_wide(CP_UTF8, utf8); }

std::string wide_to_utf8(const std::wstring& wide) { return from_wide(CP_UTF8, wide); }

size_t copy_utf8(std::string_view utf8, char* out, size_t size) {
    if (size == 0) return 0;
    size_t n = utf8.size() < size - 1 ? utf8.size() : size - 1;
    if (n < utf8.size()) {
        while (n > 0 && continues_character(utf8[n])) --n;
    }
    std::memcpy(out, utf8.data(), n);
    out[n] = '\0';
    return n;
}

}  // namespace qd::win32
