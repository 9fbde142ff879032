// Arbitrary datagrams as commands to the device model. The first byte chooses whether a
// 288-byte datagram gets the right version and magic number (bit 0) and checksum (bit 1), so
// that the commands themselves are exercised too, and whether the device announces itself
// afterwards (bit 2).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/bootloader.hpp"
#include "protocol/bytes.hpp"
#include "protocol/crc.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qd::device::Bootloader dev(qd::device::DeviceConfig{});
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> d(data + 1, data + size);
    if (d.size() == sizeof(qd::from_serv_update_t)) {
        if ((mode & 1) != 0) {
            qd::int_to_byte(&qd::FRAME_VERSION, d.data(), 0);
            qd::int_to_byte(&qd::FRAME_MAGIC, d.data(), 4);
        }
        if ((mode & 2) != 0) {
            const uint32_t crc = qd::fullcalk_crc32(d.data(), qd::CMD_CRC_LEN, qd::CRC32_POLY);
            qd::int_to_byte(&crc, d.data(), static_cast<uint8_t>(qd::CMD_CRC_LEN));
        }
    }
    dev.handle(d.data(), d.size());
    if ((mode & 4) != 0) dev.announcement();
    return 0;
}
