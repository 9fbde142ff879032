// A server with a loaded image (AutoProg=2, the verbose level) on the fakes, and one device at a
// time behind the fake network, for whole dialogues on the virtual clock.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "device/bootloader.hpp"
#include "support/device_link.hpp"
#include "support/fakes.hpp"

namespace qd::test {

inline const std::string kSep = std::string(56, '-') + "\n";
inline const std::string kNext =
    kSep + "Ожидаем широковещательное сообщение от следующего устройства.\n" + kSep;
inline constexpr uint32_t kBenchPassword = 0x1A2B3C4D;

// A device at `ip` with the serial number 0.128.225.1.2.last_mac, hardware 3, bootloader 2.
device::DeviceConfig bench_device(std::array<uint8_t, 4> ip, uint8_t last_mac = 255);

size_t count(const std::string& text, const std::string& part);
bool ends_with(const std::string& text, const std::string& tail);

class DialogueBench {
public:
    DialogueBench();

    Server& srv() { return *t.srv; }
    uint32_t image_crc() const;
    // The bench's settings on the (new) server: image, AutoProg=2, password, verbose level.
    void configure();
    void set_adapter(size_t n, const char* ip, const char* mask);

    // A new device (the previous one unplugged), announcing itself once.
    device::Bootloader& plug(std::array<uint8_t, 4> ip = {192, 168, 1, 20},
                             const device::Faults& faults = {}, uint8_t last_mac = 255);
    // Passes until the dialogue has ended and the loop waits again; the number of passes.
    int run_dialogue(int max_passes = 100);
    // Commands with this code the server sent.
    size_t sent_of(uint8_t code) const;

    TestServer t;
    Bytes image;
    // What moves the frame number of the replies of the devices that plug() makes.
    device::ReplyCounter counter = device::ReplyCounter::replies;
    // Changes the configuration of the devices that plug() makes, when set.
    std::function<void(device::DeviceConfig&)> shape;
    std::unique_ptr<DeviceLink> link;  // destroyed before the device it refers to
    std::unique_ptr<device::Bootloader> dev;
};

}  // namespace qd::test
