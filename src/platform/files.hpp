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

}  // namespace qd
