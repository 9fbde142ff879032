// Frames between their records and their wire bytes, sealed and checked; result texts.
#include "protocol/frames.hpp"

#include <cstring>
#include <initializer_list>

#include "protocol/constants.hpp"
#include "protocol/crc.hpp"

namespace qd {
namespace {

constexpr bool kLittleHost = std::endian::native == std::endian::little;

[[maybe_unused]] uint32_t swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// Used on big-endian hosts only.
[[maybe_unused]] void swap_fields(from_serv_update_t& f) {
    for (uint32_t* p : {&f.vers, &f.magic_number, &f.my_port, &f.n_frame, &f.cmd, &f.f_address,
                        &f.size, &f.crc_struct}) {
        *p = swap32(*p);
    }
}

[[maybe_unused]] void swap_fields(from_dev_bcst_t& f) {
    for (uint32_t* p : {&f.vers, &f.magic_number, &f.ver_hw, &f.ver_bl, &f.num_key, &f.crc_bl,
                        &f.my_port, &f.crc_uflash, &f.n_frame, &f.crc_struct}) {
        *p = swap32(*p);
    }
    for (uint32_t& v : f.ext_area) v = swap32(v);
}

[[maybe_unused]] void swap_fields(from_dev_update_t& f) {
    for (uint32_t* p : {&f.vers, &f.magic_number, &f.my_port, &f.n_frame, &f.get_cmd,
                        &f.get_result, &f.time_proc, &f.crc_struct}) {
        *p = swap32(*p);
    }
}

template <typename F>
void encode(const F& f, uint8_t* out) {
    if constexpr (kLittleHost) {
        std::memcpy(out, &f, sizeof f);
    } else {
        F copy = f;
        swap_fields(copy);
        std::memcpy(out, &copy, sizeof copy);
    }
}

template <typename F>
void decode(const uint8_t* in, F& f) {
    std::memcpy(&f, in, sizeof f);
    if constexpr (!kLittleHost) swap_fields(f);
}

constexpr const char* kResultTexts[12] = {
    "Общая ошибка",
    nullptr,
    "FLASH Lock",
    "Ошибка адресации",
    "Страница не стерта",
    "Страница не записана",
    "CRC неправильная",
    "Неправильный пароль",
    "OB не стерты",
    "OB не записаны ",
    "Неправильный пароль при загрузке .bin",
    "Обновление заблокировано джампером",
};

}  // namespace

void to_wire(const from_serv_update_t& f, uint8_t* out) { encode(f, out); }
void to_wire(const from_dev_bcst_t& f, uint8_t* out) { encode(f, out); }
void to_wire(const from_dev_update_t& f, uint8_t* out) { encode(f, out); }
void from_wire(const uint8_t* in, from_serv_update_t& f) { decode(in, f); }
void from_wire(const uint8_t* in, from_dev_bcst_t& f) { decode(in, f); }
void from_wire(const uint8_t* in, from_dev_update_t& f) { decode(in, f); }

namespace {

// crc_struct over the wire bytes before it, which are all but the last four.
template <typename Frame>
void seal_frame(Frame& f) {
    uint8_t wire[sizeof(Frame)];
    to_wire(f, wire);
    f.crc_struct = fullcalk_crc32(wire, sizeof(Frame) - 4, CRC32_POLY);
}

template <typename Frame>
FrameCheck checked(const uint8_t* wire, Frame& f) {
    FrameCheck c;
    from_wire(wire, f);
    c.header = f.vers == FRAME_VERSION && f.magic_number == FRAME_MAGIC;
    if (!c.header) return c;
    c.computed = fullcalk_crc32(wire, sizeof(Frame) - 4, CRC32_POLY);
    c.received = f.crc_struct;
    return c;
}

}  // namespace

FrameCheck check_frame(const uint8_t* wire, from_serv_update_t& f) { return checked(wire, f); }
FrameCheck check_frame(const uint8_t* wire, from_dev_bcst_t& f) { return checked(wire, f); }
FrameCheck check_frame(const uint8_t* wire, from_dev_update_t& f) { return checked(wire, f); }

void seal(from_serv_update_t& f) { seal_frame(f); }
void seal(from_dev_bcst_t& f) { seal_frame(f); }
void seal(from_dev_update_t& f) { seal_frame(f); }

bool sealed(const uint8_t* wire, uint32_t crc_len) {
    const uint32_t carried = uint32_t{wire[crc_len]} | uint32_t{wire[crc_len + 1]} << 8 |
                             uint32_t{wire[crc_len + 2]} << 16 | uint32_t{wire[crc_len + 3]} << 24;
    return fullcalk_crc32(wire, crc_len, CRC32_POLY) == carried;
}

const char* result_text(uint32_t code) { return code < 12 ? kResultTexts[code] : nullptr; }

}  // namespace qd
