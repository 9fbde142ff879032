// The update journal's file on Windows: one WriteFile per line in append mode, then
// FlushFileBuffers.
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
    bool open(const char* path, char* reason, size_t cap) override {
        file_ = CreateFileW(win32::utf8_to_wide(path).c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) say_reason(GetLastError(), reason, cap);
        return file_ != INVALID_HANDLE_VALUE;
    }

    bool empty() override {
        LARGE_INTEGER size{};
        return GetFileSizeEx(file_, &size) != 0 && size.QuadPart == 0;
    }

    bool append(const char* line, size_t len, char* reason, size_t cap) override {
        DWORD written = 0;
        const DWORD want = static_cast<DWORD>(len);
        if (WriteFile(file_, line, want, &written, nullptr) == 0 || written != want) {
            say_reason(written != want && GetLastError() == 0 ? ERROR_DISK_FULL : GetLastError(),
                       reason, cap);
            return false;
        }
        if (FlushFileBuffers(file_) == 0) {
            say_reason(GetLastError(), reason, cap);
            return false;
        }
        return true;
    }

    void close() override {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace

JournalFile& system_journal_file() {
    static Win32JournalFile file;
    return file;
}

}  // namespace qd
