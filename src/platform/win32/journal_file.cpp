// The update journal's file on Windows: one WriteFile per line at the end of the file, then
// FlushFileBuffers. The file is opened for reading and writing, not for appending only, so that
// a write cut short can be taken back; each line is put at the end itself (the journal is this
// program's alone to write).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/journal_file.hpp"
#include "platform/win32/text.hpp"

namespace qd {
namespace {

// The system's message for the error, in English where the system has it.
void say_reason(DWORD err, char* reason, size_t cap) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, err, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                   text, sizeof text, nullptr);
    size_t len = n;
    while (len > 0 && (text[len - 1] == '\r' || text[len - 1] == '\n' || text[len - 1] == '.')) {
        --len;
    }
    text[len] = '\0';
    if (len == 0) {
        std::snprintf(reason, cap, "error %lu", static_cast<unsigned long>(err));
    } else {
        std::snprintf(reason, cap, "%s", text);
    }
}

class Win32JournalFile : public JournalFile {
public:
    bool empty() override {
        LARGE_INTEGER size{};
        return GetFileSizeEx(file_, &size) != 0 && size.QuadPart == 0;
    }

    void close() override {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

protected:
    bool open_file(const char* path, char* reason, size_t cap) override {
        file_ = CreateFileW(win32::utf8_to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) say_reason(GetLastError(), reason, cap);
        return file_ != INVALID_HANDLE_VALUE;
    }

    bool last_byte(char& byte) override {
        LARGE_INTEGER size{};
        if (GetFileSizeEx(file_, &size) == 0 || size.QuadPart == 0) return false;
        const ULONGLONG at = static_cast<ULONGLONG>(size.QuadPart - 1);
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        return ReadFile(file_, &byte, 1, &got, &where) != 0 && got == 1;
    }

    bool append(const char* line, size_t len, char* reason, size_t cap) override {
        LARGE_INTEGER before{};
        if (SetFilePointerEx(file_, LARGE_INTEGER{}, &before, FILE_END) == 0) {
            say_reason(GetLastError(), reason, cap);
            return false;
        }
        DWORD written = 0;
        const DWORD want = static_cast<DWORD>(len);
        const BOOL wrote = WriteFile(file_, line, want, &written, nullptr);
        if (wrote == 0 || written != want) {
            // A full disk: Wine then writes what fits and reports success with the shorter
            // count (a write with no room at all fails with ERROR_DISK_FULL); Windows may fail
            // after writing a part. Either way the file is cut back to its size before.
            const DWORD err = wrote != 0 ? static_cast<DWORD>(ERROR_DISK_FULL) : GetLastError();
            take_back(before);
            say_reason(err, reason, cap);
            return false;
        }
        if (FlushFileBuffers(file_) == 0) {
            say_reason(GetLastError(), reason, cap);
            return false;
        }
        return true;
    }

private:
    // Cuts the file back to `size` when a write made it longer.
    void take_back(LARGE_INTEGER size) {
        LARGE_INTEGER now{};
        if (GetFileSizeEx(file_, &now) == 0 || now.QuadPart <= size.QuadPart) return;
        if (SetFilePointerEx(file_, size, nullptr, FILE_BEGIN) != 0) SetEndOfFile(file_);
    }

    HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace

JournalFile& system_journal_file() {
    static Win32JournalFile file;
    return file;
}

}  // namespace qd
