// The dialogue bench: a configured server and a device model behind the fake network.
#include "support/dialogue_bench.hpp"

#include <cstdio>
#include <cstring>
#include <random>

#include "protocol/crc.hpp"
#include "server/loop/loop_pass.hpp"

namespace qd::test {
namespace {

Bytes bench_image() {
    Bytes image(IMAGE_SIZE);
    std::mt19937 rng(11);
    for (auto& b : image) b = static_cast<uint8_t>(rng());
    return image;
}

}  // namespace

device::DeviceConfig bench_device(std::array<uint8_t, 4> ip, uint8_t last_mac) {
    device::DeviceConfig c;
    c.mac = {0, 128, 225, 1, 2, last_mac};
    c.ip = ip;
    c.ver_hw = 3;
    c.ver_bl = 2;
    c.bin_password = kBenchPassword;
    c.time_proc = 3;
    return c;
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

DialogueBench::DialogueBench() : image(bench_image()) {
    configure();
    t.adapters.result = AdapterQuery::ok;
    t.adapters.records.resize(2);
    set_adapter(0, "192.168.1.10", "255.255.255.0");
    set_adapter(1, "10.1.2.3", "255.0.0.0");
}

uint32_t DialogueBench::image_crc() const {
    return fullcalk_crc32(image.data(), IMAGE_SIZE, CRC32_POLY);
}

void DialogueBench::configure() {
    Server& s = srv();
    std::memcpy(s.img_bf, image.data(), IMAGE_SIZE);
    note_image(s, true);
    std::snprintf(s.cfg.s_BinContainer, sizeof s.cfg.s_BinContainer, "%X.upk", image_crc());
    s.cfg.autoprog_regime = 2;
    s.cfg.bin_pass = kBenchPassword;
    s.cfg.on_dbg_pr = 1;
    s.cfg.delay_write_block = 10;
}

void DialogueBench::set_adapter(size_t n, const char* ip, const char* mask) {
    AdapterRecord& a = t.adapters.records[n];
    std::snprintf(a.ip, sizeof a.ip, "%s", ip);
    std::snprintf(a.mask, sizeof a.mask, "%s", mask);
    a.network_count = 0;
    a.add_network(host_order(ip), host_order(mask));
}

device::Bootloader& DialogueBench::plug(std::array<uint8_t, 4> ip, const device::Faults& faults,
                                        uint8_t last_mac) {
    link.reset();
    device::DeviceConfig config = bench_device(ip, last_mac);
    config.reply_counter = counter;
    if (shape) shape(config);
    dev = std::make_unique<device::Bootloader>(config);
    dev->set_faults(faults);
    link = std::make_unique<DeviceLink>(t.net, t.clock, *dev);
    link->announce();
    return *dev;
}

int DialogueBench::run_dialogue(int max_passes) { return test::run_dialogue(srv(), max_passes); }

size_t DialogueBench::sent_of(uint8_t code) const {
    size_t n = 0;
    for (const from_serv_update_t& f : commands_sent(t.net)) n += f.cmd == code ? 1 : 0;
    return n;
}

}  // namespace qd::test
