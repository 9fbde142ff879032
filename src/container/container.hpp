// Container files (<CRC32>.upk): loading one into the image buffer, and making one from soft.bin.
// The checks and the conversion work on bytes in memory; read_container and run_file_converter
// add the files around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.hpp"
#include "platform/console.hpp"

namespace qd {

// Loads the container `name_file` into flash_bin_img (IMAGE_SIZE bytes). A container is
// exactly IMAGE_SIZE bytes; a file of another size is refused after its size line.
//   1  the file was read whole
//  -1  the file cannot be opened; the buffer is left as it was
//  -2  the file is longer than IMAGE_SIZE; refused, the buffer is left as it was
//  -3  the file is shorter than IMAGE_SIZE (a cut copy); refused, the buffer is left as it was
//  -4  the read gave fewer bytes than the file's size (it changed while read): not whole
int8_t read_container(Console& con, const char* name_file, uint8_t* flash_bin_img);

// Loads the `size` bytes of the container `name_file` held in memory into flash_bin_img
// (IMAGE_SIZE bytes), with read_container's messages and results for a file of that size.
int8_t load_container(Console& con, const char* name_file, const uint8_t* bytes, size_t size,
                      uint8_t* flash_bin_img);

// A container's name is the CRC-32 of its bytes: how the file name (the part after the last
// '/' or '\') stands to the CRC-32 of the image read from it.
enum class NameCheck {
    matches,    // 1 to 8 hex digits and ".upk" (either case), the image's CRC-32
    differs,    // of that form, another number: the file is damaged or mislabelled
    not_a_crc,  // of another form: nothing to check the image against
};
NameCheck check_container_name(const char* name_file, uint32_t crc);

// What the console says of a container's name, for a container read whole: nothing when it
// matches, else the line of the mismatch or of a name that is no CRC-32.
void say_name_check(Console& con, NameCheck check);

// Holds a container read whole against its name: true when the image may be used (its name
// matches, or says nothing, which is said), false after the mismatch line.
bool verify_container_name(Console& con, const char* name_file, uint32_t crc);

// Turns soft.bin in the working directory into a container named after its CRC-32 and renames
// soft.bin to soft.obin; never replaces an existing file.
//   1  container written and renames attempted
//  -1  no soft.bin to read
//  -2  file.temp cannot be created
//  -3  soft.bin is longer than IMAGE_SIZE, or its size cannot be measured
//  -4  the working buffers cannot be obtained
int8_t run_file_converter(Console& con, Clock& clock);

// Makes the container of a program of `size` bytes in `container` (IMAGE_SIZE bytes): the
// program, then the fill 0x39 0xE3 repeated to the end. False, the buffer left as it was, for
// a program longer than IMAGE_SIZE.
bool make_container(const uint8_t* program, size_t size, uint8_t* container);

// The file name of a container whose CRC-32 is `crc`: upper-case hex digits, then ".upk".
std::string container_name(uint32_t crc);

}  // namespace qd
