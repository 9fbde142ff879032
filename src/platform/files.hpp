// File-system services that differ between the platforms.
#pragma once

#include <cstddef>

namespace qd {

// Expands `arg` to a full, normalised path in out (size bytes). Leaves out empty when the
// result does not fit.
void full_path(const char* arg, char* out, size_t size);

// Renames `from` to `to` unless `to` exists; never replaces a file. Returns true when renamed.
bool rename_noreplace(const char* from, const char* to);

}  // namespace qd
