// The analysis of an announcement and the acting step.
#include "update/decision.hpp"

#include <cstring>

namespace qd {
namespace {

void find(Analysis& a, Finding f) {
    if (a.count < Analysis::kMostFindings) a.findings[a.count++] = f;
}

// The container's name is the one the device's program CRC gives: "%X.upk", upper-case hex
// without leading zeros.
bool runs_the_container(uint32_t crc, const char* name) {
    char expected[16] = {};
    static constexpr char kHex[] = "0123456789ABCDEF";
    char digits[8];
    size_t n = 0;
    do {
        digits[n++] = kHex[crc & 0xF];
        crc >>= 4;
    } while (crc != 0);
    size_t at = 0;
    while (n > 0) expected[at++] = digits[--n];
    std::memcpy(expected + at, ".upk", 5);
    return std::strcmp(expected, name) == 0;
}

void same_firmware(Analysis& a, uint8_t regime) {
    find(a, Finding::same_firmware);
    if (regime <= 2) {
        find(a, Finding::never);
        a.enable_update_up1 = 0;
        a.verdict = Verdict::same_firmware;
    } else if (regime == 3) {
        find(a, Finding::forced);
        a.enable_update_up1 = 1;
        a.verdict = Verdict::update;
    }
}

void by_list(Analysis& a, const from_dev_bcst_t& bc, const DecisionConfig& cfg) {
    find(a, Finding::by_list);
    a.enable_update_up1 = 0;
    for (const uint8_t* entry : cfg.allowlist) {
        if (entry != nullptr && std::memcmp(bc.my_mac, entry, 6) == 0) {
            find(a, Finding::listed);
            a.enable_update_up1 = 1;
        }
    }
    if (a.enable_update_up1 == 0) find(a, Finding::not_listed);
    a.verdict = a.enable_update_up1 == 1 ? Verdict::update : Verdict::not_listed;
}

void other_firmware(Analysis& a, const from_dev_bcst_t& bc, const DecisionConfig& cfg) {
    find(a, Finding::other_firmware);
    switch (cfg.autoprog_regime) {
        case 0:
            find(a, Finding::never);
            a.enable_update_up1 = 0;
            break;
        case 1:
            by_list(a, bc, cfg);
            break;
        case 2:
            find(a, Finding::any_serial);
            a.enable_update_up1 = 1;
            a.verdict = Verdict::update;
            break;
        case 3:
            find(a, Finding::forced);
            a.enable_update_up1 = 1;
            a.verdict = Verdict::update;
            break;
        default:
            break;
    }
}

}  // namespace

Analysis analyse(const from_dev_bcst_t& bc, const DecisionConfig& cfg) {
    Analysis a;
    if (cfg.type_file_for_update != 0) return a;  // refused, nothing compared
    a.analysed = true;
    if (runs_the_container(bc.crc_uflash, cfg.s_BinContainer)) {
        same_firmware(a, cfg.autoprog_regime);
    } else {
        other_firmware(a, bc, cfg);
    }
    return a;
}

Action act(const Analysis& analysis, const ActingFacts& facts) {
    Action a;
    a.enable_update_up1 = analysis.enable_update_up1 < 0
                              ? facts.flag_before
                              : static_cast<uint8_t>(analysis.enable_update_up1);
    if (!facts.address_usable) {
        // Commands there would reach the server itself, every device, or nothing; a jump
        // would reach every device.
        a.verdict = Verdict::bad_address;
        a.bad_address = true;
        return a;
    }
    const bool image_loaded = facts.image_loaded;
    a.verdict =
        analysis.verdict == Verdict::update && !image_loaded ? Verdict::no_image : analysis.verdict;
    bool update = a.enable_update_up1 == 1;
    if (update && !image_loaded) {
        // Flashing without an image would erase the device's program and write zeros.
        a.no_image = true;
        update = false;
    }
    if (update) {
        a.what = DeviceAction::update;
    } else if (facts.app_jump_regime == 1) {
        a.what = DeviceAction::jump;  // AutoJumpApp 0, and every value but 1, lets it be
    }
    return a;
}

}  // namespace qd
