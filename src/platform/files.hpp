// File-system services that differ between the platforms.
#pragma once

#include <cstddef>
#include <cstdio>

namespace qd {

// Expands `arg`, a path as the command line gives it (on Windows in the ANSI code page), to a
// full, normalised path in out (size bytes, UTF-8). Leaves out empty when the result does not
// fit.
void full_path(const char* arg, char* out, size_t size);

// Opens the file of a UTF-8 name with a mode of std::fopen; nullptr on failure.
std::FILE* open_file(const char* name, const char* mode);

// Renames `from` to `to` (UTF-8 names) unless `to` exists; never replaces a file. Returns true
// when renamed.
bool rename_noreplace(const char* from, const char* to);

// What a path (UTF-8) names now.
enum class PathKind { missing, folder, file };
PathKind path_kind(const char* path);

// Whether a file could be opened for appending at `path` (UTF-8; relative to the working
// directory), created when missing, as the update journal is: asked of the system without
// opening the file for writing or creating anything, so the folder stays as it is.
enum class AppendAccess {
    append,     // the file is there and may be written
    create,     // no file yet, and its folder may take one
    no_folder,  // no file, and its folder is not there (or is no folder)
    denied,     // the file, or its folder, may not be written
    is_folder,  // the path names a folder
};
AppendAccess append_access(const char* path);

}  // namespace qd
