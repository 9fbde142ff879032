// File services on POSIX: full paths, opening files by UTF-8 name, renames that never replace.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.hpp"

namespace qd {
namespace {

// Collapses "//", "/./" and "/../" of an absolute path, as the Windows full-path function does.
std::string normalise(const std::string& absolute) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= absolute.size()) {
        size_t end = absolute.find('/', pos);
        if (end == std::string::npos) end = absolute.size();
        const std::string part = absolute.substr(pos, end - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    std::string out;
    for (const auto& part : parts) out += "/" + part;
    if (out.empty() || (!absolute.empty() && absolute.back() == '/')) out += "/";
    return out;
}

// The folder a file of this path goes into: what comes before the last '/'.
std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void full_path(const char* arg, char* out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    std::string absolute;
    if (arg[0] != '/') {
        std::vector<char> cwd(4096);
        if (::getcwd(cwd.data(), cwd.size()) == nullptr) return;
        absolute = std::string(cwd.data()) + "/";
    }
    absolute += arg;
    const std::string result = normalise(absolute);
    if (result.size() >= size) return;
    std::memcpy(out, result.c_str(), result.size() + 1);
}

// A directory is not a file to read, as on Windows, even though the C library here opens one.
std::FILE* open_file(const char* name, const char* mode) {
    struct stat st {};
    if (mode[0] == 'r' && ::stat(name, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }
    return std::fopen(name, mode);
}

bool rename_noreplace(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != ENOSYS && errno != EINVAL) return false;
#endif
    // Where the file system cannot rename without replacing: a hard link fails when `to`
    // exists, and only then is the old name removed.
    if (::link(from, to) != 0) return false;
    ::unlink(from);
    return true;
}

PathKind path_kind(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) return PathKind::missing;
    return S_ISDIR(st.st_mode) ? PathKind::folder : PathKind::file;
}

// access() asks the system's own rules (modes, a read-only mount, the user's rights) and
// changes nothing.
AppendAccess append_access(const char* path) {
    struct stat st {};
    if (::stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) return AppendAccess::is_folder;
        return ::access(path, W_OK) == 0 ? AppendAccess::append : AppendAccess::denied;
    }
    if (errno == ENOTDIR) return AppendAccess::no_folder;
    if (errno != ENOENT) return AppendAccess::denied;
    const std::string folder = folder_of(path);
    if (::stat(folder.c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? AppendAccess::no_folder
                                                   : AppendAccess::denied;
    }
    if (!S_ISDIR(st.st_mode)) return AppendAccess::no_folder;
    return ::access(folder.c_str(), W_OK | X_OK) == 0 ? AppendAccess::create
                                                       : AppendAccess::denied;
}

}  // namespace qd
