// The console of the engine for several devices at once (Parallel=N): the lines of one device's
// dialogue, each led by its address and a blank, and what they are for a clean update.
#pragma once

#include <string>
#include <vector>

namespace qd::test {

// The lines of `text` (LF line ends) led by "IP ", without that lead, in console order; the
// duration of an end line ("...: 312 мс, повторов: 0") masked as "[MS] мс". With `trace`
// false, the frame trace ("TX byte: ...", "RX byte:...") is left out.
std::vector<std::string> lines_of(const std::string& text, const std::string& ip,
                                  bool trace = false);

// What one device's dialogue shows when it is updated without a repeated attempt: at the
// compact level (DebugPrint 0) or the verbose one (DebugPrint 1), the flash of the image whose
// CRC-32 is `image_crc`, durations masked as lines_of() masks them.
std::vector<std::string> clean_update_lines(bool verbose, unsigned image_crc);

// Whether a line ends a dialogue (updated, sent to its application, or given up).
bool is_end_line(const std::string& line);

}  // namespace qd::test
