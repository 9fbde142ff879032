#include "support/devsim_result.hpp"

#include <cstdlib>
#include <sstream>

namespace qd::test {

DevsimResult::DevsimResult(const std::string& console) {
    const std::string head = "result:";
    size_t at = console.rfind("\n" + head);
    if (at != std::string::npos) {
        ++at;
    } else if (console.compare(0, head.size(), head) == 0) {
        at = 0;
    } else {
        return;
    }
    found_ = true;
    const size_t end = console.find('\n', at);
    std::istringstream pairs(console.substr(at + head.size(), end - at - head.size()));
    for (std::string pair; pairs >> pair;) {
        const size_t eq = pair.find('=');
        if (eq != std::string::npos) values_[pair.substr(0, eq)] = pair.substr(eq + 1);
    }
}

std::string DevsimResult::text(const std::string& key) const {
    const auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

uint64_t DevsimResult::number(const std::string& key) const {
    const std::string value = text(key);
    char* end = nullptr;
    const uint64_t n = std::strtoull(value.c_str(), &end, 10);
    return value.empty() || *end != '\0' ? 0 : n;
}

}  // namespace qd::test
