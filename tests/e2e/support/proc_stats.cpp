#include "support/proc_stats.hpp"

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace qd::test {
namespace {

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

// The "Udp:" names and values: two lines, the names first.
std::map<std::string, uint64_t> udp_table(std::istream& in) {
    std::map<std::string, uint64_t> table;
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Udp: ", 0) != 0) continue;
        if (names.empty()) {
            names = words(line);
            continue;
        }
        const std::vector<std::string> values = words(line);
        for (size_t i = 1; i < names.size() && i < values.size(); ++i) {
            table[names[i]] = std::stoull(values[i]);
        }
        break;
    }
    return table;
}

}  // namespace

std::optional<long> resident_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return std::nullopt;
}

std::optional<UdpCounters> udp_counters(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/snmp");
    const std::map<std::string, uint64_t> t = udp_table(in);
    if (t.count("InDatagrams") == 0 || t.count("InErrors") == 0 || t.count("RcvbufErrors") == 0) {
        return std::nullopt;
    }
    return UdpCounters{t.at("InDatagrams"), t.at("InErrors"), t.at("RcvbufErrors")};
}

}  // namespace qd::test
