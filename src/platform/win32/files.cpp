// File services on Windows: full paths, opening files by UTF-8 name, renames that never replace.
#include <string>

#include <windows.h>

#include "platform/files.hpp"
#include "platform/win32/text.hpp"

namespace qd {

void full_path(const char* arg, char* out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(arg, MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) return;
    const std::string utf8 = win32::ansi_to_utf8(std::string_view(full, n));
    if (utf8.size() >= size) return;
    win32::copy_utf8(utf8, out, size);
}

bool rename_noreplace(const char* from, const char* to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists. Wide names, as for
    // open_file: any name, not only those of the ANSI code page.
    return MoveFileExW(win32::utf8_to_wide(from).c_str(), win32::utf8_to_wide(to).c_str(), 0) != 0;
}

std::FILE* open_file(const char* name, const char* mode) {
    return _wfopen(win32::utf8_to_wide(name).c_str(), win32::utf8_to_wide(mode).c_str());
}

}  // namespace qd
