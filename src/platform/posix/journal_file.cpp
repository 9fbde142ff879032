// The update journal's file on POSIX: one write per line with O_APPEND, then fsync.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/journal_file.hpp"

namespace qd {
namespace {

void say_reason(int err, char* reason, size_t cap) {
    std::snprintf(reason, cap, "%s", std::strerror(err));
}

class PosixJournalFile : public JournalFile {
public:
    bool empty() override {
        struct stat st {};
        return ::fstat(fd_, &st) == 0 && st.st_size == 0;
    }

    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

protected:
    // Read as well as written: the last byte tells whether the file ends in a whole line.
    bool open_file(const char* path, char* reason, size_t cap) override {
        fd_ = ::open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) say_reason(errno, reason, cap);
        return fd_ >= 0;
    }

    bool last_byte(char& byte) override {
        struct stat st {};
        return ::fstat(fd_, &st) == 0 && st.st_size > 0 &&
               ::pread(fd_, &byte, 1, st.st_size - 1) == 1;
    }

    bool append(const char* line, size_t len, char* reason, size_t cap) override {
        const off_t before = ::lseek(fd_, 0, SEEK_END);
        const ssize_t n = ::write(fd_, line, len);
        if (n != static_cast<ssize_t>(len)) {
            // A full disk may take part of the line: take it back, so no half line is left.
            say_reason(n < 0 ? errno : ENOSPC, reason, cap);
            if (n > 0 && before >= 0) static_cast<void>(::ftruncate(fd_, before));
            return false;
        }
        if (::fsync(fd_) != 0) {
            say_reason(errno, reason, cap);
            return false;
        }
        return true;
    }

private:
    int fd_ = -1;
};

}  // namespace

JournalFile& system_journal_file() {
    static PosixJournalFile file;
    return file;
}

}  // namespace qd
