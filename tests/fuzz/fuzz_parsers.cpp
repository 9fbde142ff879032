// Arbitrary texts as an allowlist entry and as the image password.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/config/settings.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    uint8_t mac[6] = {};
    qd::parse_serial(text.c_str(), mac);
    qd::pass_from_text(text.c_str());
    return 0;
}
