// The terminal's part in ending the program from outside (the console control handler).
#pragma once

namespace qd::win32 {

// Waits until the terminal's output being drawn is out; the end holds from then on.
void wait_for_terminal_output();
// Writes the terminal's restore text and sets its console mode back, when it was started.
void restore_terminal();

}  // namespace qd::win32
