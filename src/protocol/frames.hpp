// The three frames of the update protocol, the command codes and the device result codes.
// In memory a frame is a plain record; on the wire it is the same bytes, little-endian.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace qd {

inline constexpr uint32_t FRAME_VERSION = 1;
inline constexpr uint32_t FRAME_MAGIC = 0x2313E27B;
inline constexpr uint16_t UPDATE_PORT = 5008;

// Announcement that a device broadcasts while it sits in its bootloader.
struct from_dev_bcst_t {
    uint32_t vers;
    uint32_t magic_number;
    uint32_t ver_hw;
    uint32_t ver_bl;
    uint32_t num_key;
    uint32_t crc_bl;
    uint8_t my_mac[6];  // the device's serial number
    uint8_t tmp[2];
    uint8_t my_ip[4];
    uint32_t my_port;
    uint32_t crc_uflash;  // CRC-32 of the program now in UP1
    uint32_t n_frame;
    uint32_t ext_area[32];
    uint32_t crc_struct;  // over bytes 0..175
};

// One command from the server to one device.
struct from_serv_update_t {
    uint32_t vers;
    uint32_t magic_number;
    uint32_t my_port;  // the port the reply goes to
    uint32_t n_frame;
    uint32_t cmd;
    uint32_t f_address;
    uint32_t size;
    uint8_t ext_area[256];
    uint32_t crc_struct;  // over bytes 0..283
};

// A device's reply to a command.
struct from_dev_update_t {
    uint32_t vers;
    uint32_t magic_number;
    uint8_t my_mac[6];
    uint8_t tmp[2];
    uint8_t my_ip[4];
    uint32_t my_port;
    uint32_t n_frame;
    uint32_t get_cmd;
    uint32_t get_result;
    uint32_t time_proc;  // ms the device spent on the command
    uint8_t ext_area[256];
    uint32_t crc_struct;  // over bytes 0..295
};

static_assert(sizeof(from_dev_bcst_t) == 180);
static_assert(offsetof(from_dev_bcst_t, magic_number) == 4);
static_assert(offsetof(from_dev_bcst_t, ver_hw) == 8);
static_assert(offsetof(from_dev_bcst_t, ver_bl) == 12);
static_assert(offsetof(from_dev_bcst_t, num_key) == 16);
static_assert(offsetof(from_dev_bcst_t, crc_bl) == 20);
static_assert(offsetof(from_dev_bcst_t, my_mac) == 24);
static_assert(offsetof(from_dev_bcst_t, tmp) == 30);
static_assert(offsetof(from_dev_bcst_t, my_ip) == 32);
static_assert(offsetof(from_dev_bcst_t, my_port) == 36);
static_assert(offsetof(from_dev_bcst_t, crc_uflash) == 40);
static_assert(offsetof(from_dev_bcst_t, n_frame) == 44);
static_assert(offsetof(from_dev_bcst_t, ext_area) == 48);
static_assert(offsetof(from_dev_bcst_t, crc_struct) == 176);

static_assert(sizeof(from_serv_update_t) == 288);
static_assert(offsetof(from_serv_update_t, magic_number) == 4);
static_assert(offsetof(from_serv_update_t, my_port) == 8);
static_assert(offsetof(from_serv_update_t, n_frame) == 12);
static_assert(offsetof(from_serv_update_t, cmd) == 16);
static_assert(offsetof(from_serv_update_t, f_address) == 20);
static_assert(offsetof(from_serv_update_t, size) == 24);
static_assert(offsetof(from_serv_update_t, ext_area) == 28);
static_assert(offsetof(from_serv_update_t, crc_struct) == 284);

static_assert(sizeof(from_dev_update_t) == 300);
static_assert(offsetof(from_dev_update_t, magic_number) == 4);
static_assert(offsetof(from_dev_update_t, my_mac) == 8);
static_assert(offsetof(from_dev_update_t, tmp) == 14);
static_assert(offsetof(from_dev_update_t, my_ip) == 16);
static_assert(offsetof(from_dev_update_t, my_port) == 20);
static_assert(offsetof(from_dev_update_t, n_frame) == 24);
static_assert(offsetof(from_dev_update_t, get_cmd) == 28);
static_assert(offsetof(from_dev_update_t, get_result) == 32);
static_assert(offsetof(from_dev_update_t, time_proc) == 36);
static_assert(offsetof(from_dev_update_t, ext_area) == 40);
static_assert(offsetof(from_dev_update_t, crc_struct) == 296);

// Bytes covered by each frame's crc_struct.
inline constexpr uint32_t BCST_CRC_LEN = 176;
inline constexpr uint32_t CMD_CRC_LEN = 284;
inline constexpr uint32_t REPLY_CRC_LEN = 296;

// Wire form <-> record. On a little-endian host both are plain copies; elsewhere every 32-bit
// field is turned around.
void to_wire(const from_serv_update_t& f, uint8_t* out);
void to_wire(const from_dev_bcst_t& f, uint8_t* out);
void to_wire(const from_dev_update_t& f, uint8_t* out);
void from_wire(const uint8_t* in, from_serv_update_t& f);
void from_wire(const uint8_t* in, from_dev_bcst_t& f);
void from_wire(const uint8_t* in, from_dev_update_t& f);

// Sealing and checking a frame: crc_struct is the CRC-32 of the wire bytes before it (the
// frame's last four bytes).
void seal(from_serv_update_t& f);
void seal(from_dev_bcst_t& f);
void seal(from_dev_update_t& f);
// The wire bytes carry, right after their first crc_len bytes, the CRC-32 of these.
bool sealed(const uint8_t* wire, uint32_t crc_len);

// What checking a frame found: its header (version and magic number) right, and then the CRC-32
// taken over its wire bytes against the one it carries. The one check of a frame received, for
// the server, its traces and the simulated device.
struct FrameCheck {
    bool header = false;
    uint32_t computed = 0;  // with a right header
    uint32_t received = 0;
    bool valid() const { return header && computed == received; }
};
// The frame decoded from its sizeof(Frame) wire bytes into f, and checked.
FrameCheck check_frame(const uint8_t* wire, from_serv_update_t& f);
FrameCheck check_frame(const uint8_t* wire, from_dev_bcst_t& f);
FrameCheck check_frame(const uint8_t* wire, from_dev_update_t& f);

enum : uint8_t {
    CMD_NOP = 0,
    CMD_ACTIVATE_BL = 1,
    CMD_UNBLOCK_FLASH = 2,
    CMD_ERASE_UP_FLASH = 3,
    CMD_SET_PASS_BIN = 4,
    CMD_WRITE_UP_FLASH = 5,
    CMD_GETCRC_FLASH = 6,
    CMD_JUMP_TO_APP = 7,
    CMD_GET_CONFIG = 9,
};

enum : uint32_t {
    RES_GENERAL_ERROR = 0,
    RES_OK = 1,
    RES_FLASH_LOCK = 2,
    RES_ADDRESS_ERROR = 3,
    RES_PAGE_NOT_ERASED = 4,
    RES_PAGE_NOT_WRITTEN = 5,
    RES_BAD_CRC = 6,
    RES_BAD_PASSWORD = 7,
    RES_OB_NOT_ERASED = 8,
    RES_OB_NOT_WRITTEN = 9,
    RES_BAD_BIN_PASSWORD = 10,
    RES_BLOCKED_BY_JUMPER = 11,
};

// The console text of a result code other than RES_OK, or nullptr when it has none.
const char* result_text(uint32_t code);

}  // namespace qd
