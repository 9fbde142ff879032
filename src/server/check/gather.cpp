// Gathering a configuration check's facts through the platform's seams, writing nothing.
#include "server/check/gather.hpp"

#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "container/container.hpp"
#include "platform/console.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "protocol/frames.hpp"
#include "server/server.hpp"

namespace qd {
namespace {

// Keeps what the loader says, to be said in its place in the check's text.
class KeptText : public Console {
public:
    void write(std::string_view utf8) override { text.append(utf8); }
    std::string text;
};

void load(const Settings& cfg, ContainerFacts& c) {
    c.named = cfg.s_BinContainer[0] != '\0';
    if (!c.named) return;
    const std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[IMAGE_SIZE]());
    KeptText said;
    if (!image) {
        said.text = "Error malloc! \n";
        c.loader_lines = said.text;
        c.loaded = -4;
        return;
    }
    c.loaded = read_container(said, cfg.s_BinContainer, image.get());
    if (c.loaded == 1) c.crc = fullcalk_crc32(image.get(), IMAGE_SIZE, CRC32_POLY);
    c.loader_lines = said.text;
}

// Binds port 5008 as the server's receive socket would, and lets it go at once.
void try_port(Net& net, PortFacts& p) {
    p.startup_error = net.startup();
    if (p.startup_error != 0) return;
    const int so = net.open_udp();
    p.opened = so >= 0;
    if (!p.opened) {
        p.error = net.last_error();
    } else {
        p.bound = net.bind_any(so, UPDATE_PORT) >= 0;
        if (!p.bound) p.error = net.last_error();
        net.close(so);
    }
    net.cleanup();
}

}  // namespace

CheckFacts gather_facts(const char* arg, Net& net, AdapterSource& adapters) {
    CheckFacts f;
    full_path(arg, f.path, sizeof f.path);
    f.kind = path_kind(f.path);
    f.readable = f.path[0] != '\0' && config_readable(f.path);
    if (!f.readable) return f;
    read_settings(f.path, f.cfg);
    load(f.cfg, f.container);
    if (f.cfg.s_Journal[0] != '\0') f.journal = append_access(f.cfg.s_Journal);
    f.adapters_query = adapters.query(f.adapters);
    try_port(net, f.port);
    return f;
}

}  // namespace qd
