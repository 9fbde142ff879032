// Container files (<CRC32>.upk): loading one into the image buffer, and making one from soft.bin.
#pragma once

#include <cstdint>

#include "platform/clock.hpp"
#include "platform/console.hpp"

namespace qd {

// Loads the container `name_file` into flash_bin_img (IMAGE_SIZE bytes).
//   1  the file was opened and read (whatever number of bytes the read gave)
//  -1  the file cannot be opened; the buffer is left as it was
//  -2  the file is longer than IMAGE_SIZE; refused, the buffer is left as it was
int8_t read_container(Console& con, const char* name_file, uint8_t* flash_bin_img);

// Turns soft.bin in the working directory into a container named after its CRC-32 and renames
// soft.bin to soft.obin; never replaces an existing file.
//   1  container written and renames attempted
//  -1  no soft.bin to read
//  -2  file.temp cannot be created
//  -3  soft.bin is longer than IMAGE_SIZE, or its size cannot be measured
//  -4  the working buffers cannot be obtained
int8_t run_file_converter(Console& con, Clock& clock);

}  // namespace qd
