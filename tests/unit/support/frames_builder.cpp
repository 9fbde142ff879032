// Device frames built for tests.
#include "support/frames_builder.hpp"

#include "protocol/constants.hpp"
#include "protocol/crc.hpp"

namespace qd::test {

from_dev_bcst_t broadcast(uint32_t crc_uflash) {
    from_dev_bcst_t f{};
    f.vers = FRAME_VERSION;
    f.magic_number = FRAME_MAGIC;
    f.ver_hw = 3;
    f.ver_bl = 2;
    f.num_key = 17;
    f.crc_bl = 0xB00710AD;
    const uint8_t mac[6] = {0, 128, 225, 1, 2, 255};
    for (int i = 0; i < 6; ++i) f.my_mac[i] = mac[i];
    f.my_ip[0] = 192, f.my_ip[1] = 168, f.my_ip[2] = 1, f.my_ip[3] = 20;
    f.my_port = 5008;
    f.crc_uflash = crc_uflash;
    f.n_frame = 42;
    return f;
}

from_dev_update_t reply(uint32_t get_cmd, uint32_t get_result, uint32_t time_proc) {
    from_dev_update_t f{};
    f.vers = FRAME_VERSION;
    f.magic_number = FRAME_MAGIC;
    f.n_frame = 7;
    f.get_cmd = get_cmd;
    f.get_result = get_result;
    f.time_proc = time_proc;
    return f;
}

template <typename F>
Bytes seal_and_encode(F f, bool sealing) {
    if (sealing) seal(f);
    Bytes out(sizeof f);
    to_wire(f, out.data());
    return out;
}

Bytes wire(from_dev_bcst_t f, bool seal) { return seal_and_encode(f, seal); }
Bytes wire(from_dev_update_t f, bool seal) { return seal_and_encode(f, seal); }

}  // namespace qd::test
