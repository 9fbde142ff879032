// Console reporting shared by the server's steps.
#pragma once

#include "platform/clock.hpp"
#include "platform/console.hpp"
#include "protocol/frames.hpp"
#include "update/sequence.hpp"

namespace qd {

struct Server;

// The time stamp [DD/MM/YYYY hh:mm:ss], without a line end.
void p_time(Console& con, Clock& clock);

// The separator variant that first ends an open line.
void say_separator_lf(Console& con);

// The report of a valid device reply to the command named cmd_string: long at the verbose
// level (with the result's text; a result without text leaves the line open), short with a
// time stamp at the compact level.
void unif_dbg_out(Server& srv, const from_dev_update_t& i_d, const char* cmd_string);

// The two lines of a device's configuration byte: where it goes, whether it may be programmed.
const char* goes_to_text(uint8_t bits);
const char* programming_text(uint8_t bits);

// The line that says why a dialogue with the device at `ip` was given up (without its line end).
void give_up_text(const GiveUp& why, const char* ip, char* out, size_t cap);

// The line that says the flash differed from the image (CRC image_crc) and is written again
// (without its line end).
void written_again_text(uint32_t image_crc, char* out, size_t cap);

// The line that warns, before the first command, that the device's address `ip` lies in none of
// the PC's networks (without its line end).
void outside_networks_text(const char* ip, char* out, size_t cap);

}  // namespace qd
