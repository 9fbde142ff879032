// File services on Windows: full paths, opening files by UTF-8 name, renames that never replace.
#include <string>

#include <windows.h>

#include "platform/files.hpp"
#include "platform/win32/text.hpp"

namespace qd {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whether the system grants `rights` on an existing file or folder: a handle asked for them
// and closed at once, which changes nothing in it.
bool granted(const std::wstring& path, DWORD rights, DWORD flags) {
    const HANDLE h = CreateFileW(path.c_str(), rights, kShareAll, nullptr, OPEN_EXISTING,
                                 flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

// The folder a file of this path goes into, in full, with its closing backslash.
std::wstring folder_of(const std::wstring& path) {
    wchar_t full[MAX_PATH];
    wchar_t* name = nullptr;
    const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, &name);
    if (n == 0 || n >= MAX_PATH || name == nullptr) return {};
    return std::wstring(full, static_cast<size_t>(name - full));
}

}  // namespace

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

PathKind path_kind(const char* path) {
    const DWORD a = GetFileAttributesW(win32::utf8_to_wide(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return PathKind::missing;
    return (a & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::folder : PathKind::file;
}

// The system's own access check (the file's or folder's security, a read-only file), asked by
// opening with the rights the journal needs and closing again.
AppendAccess append_access(const char* path) {
    const std::wstring wide = win32::utf8_to_wide(path);
    const DWORD a = GetFileAttributesW(wide.c_str());
    if (a != INVALID_FILE_ATTRIBUTES) {
        if ((a & FILE_ATTRIBUTE_DIRECTORY) != 0) return AppendAccess::is_folder;
        return granted(wide, FILE_APPEND_DATA, FILE_ATTRIBUTE_NORMAL) ? AppendAccess::append
                                                                      : AppendAccess::denied;
    }
    const DWORD err = GetLastError();
    if (err == ERROR_PATH_NOT_FOUND || err == ERROR_DIRECTORY) return AppendAccess::no_folder;
    if (err != ERROR_FILE_NOT_FOUND) return AppendAccess::denied;
    const std::wstring folder = folder_of(wide);
    const DWORD fa = folder.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(folder.c_str());
    if (fa == INVALID_FILE_ATTRIBUTES || (fa & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return AppendAccess::no_folder;
    }
    // A folder opens only with backup semantics; FILE_ADD_FILE is the right to create in it.
    return granted(folder, FILE_ADD_FILE, FILE_FLAG_BACKUP_SEMANTICS) ? AppendAccess::create
                                                                       : AppendAccess::denied;
}

}  // namespace qd
