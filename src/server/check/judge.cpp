// Judging a configuration: the image, the allowlist and the policy, as the server would take
// them; each kind of board through the update decision itself.
#include "server/check/judge.hpp"

#include <cstdio>
#include <cstring>
#include <type_traits>
#include <variant>

#include "container/container.hpp"
#include "server/config/rules_config.hpp"

namespace qd {
namespace {

ImageVerdict refused_for(int loaded) {
    switch (loaded) {
        case -2: return ImageVerdict::longer;
        case -3: return ImageVerdict::shorter;
        case -4: return ImageVerdict::not_whole;
        default: return ImageVerdict::not_found;
    }
}

// The number a container name of hex digits and ".upk" stands for; false for another name.
bool name_number(const char* name, uint32_t& number) {
    uint32_t n = 0;
    size_t digits = 0;
    for (const char* p = name; *p != '\0' && *p != '.'; ++p, ++digits) {
        const char c = *p;
        const bool digit = c >= '0' && c <= '9';
        const bool upper = c >= 'A' && c <= 'F';
        const bool lower = c >= 'a' && c <= 'f';
        if (!(digit || upper || lower) || digits == 8) return false;
        n = n << 4 | static_cast<uint32_t>(digit ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    number = n;
    return digits > 0;
}

// A serial number on no entry of the allowlist: one of five differs from all four.
void unlisted_serial(const DecisionConfig& d, uint8_t (&mac)[6]) {
    for (uint8_t last = 0; last < 5; ++last) {
        const uint8_t candidate[6] = {255, 255, 255, 255, 255, last};
        bool listed = false;
        for (const uint8_t* entry : d.allowlist) {
            listed = listed || (entry != nullptr && std::memcmp(entry, candidate, 6) == 0);
        }
        if (!listed) {
            std::memcpy(mac, candidate, 6);
            return;
        }
    }
}

bool found(const Analysis& a, Finding f) {
    for (size_t i = 0; i < a.count; ++i) {
        if (a.findings[i] == f) return true;
    }
    return false;
}

// The decision on a board that runs the firmware of CRC-32 `crc`, of serial number `mac`, at a
// usable address.
BoardFate decide(BoardKind kind, const DecisionConfig& d, uint32_t crc, const uint8_t (&mac)[6],
                 bool image, uint8_t app_jump_regime) {
    from_dev_bcst_t bc{};
    bc.crc_uflash = crc;
    std::memcpy(bc.my_mac, mac, 6);
    BoardFate fate;
    fate.kind = kind;
    fate.analysis = analyse(bc, d);
    // A flag the analysis leaves alone is never written with this configuration: 0 from start.
    fate.action = act(fate.analysis, ActingFacts{true, image, app_jump_regime, 0});
    return fate;
}

void add(Policy& p, const BoardFate& fate) {
    if (p.count < Policy::kMostKinds) p.boards[p.count++] = fate;
}

// The reason the policy updates no board, read off the decision on a board of other firmware.
Reason policy_reason(const Analysis& other) {
    if (!other.analysed) return Reason::type_container;
    if (found(other, Finding::never)) return Reason::never;
    if (found(other, Finding::by_list)) return Reason::no_valid_entry;
    return Reason::autoprog_other;
}

Reason image_reason(ImageVerdict v) {
    switch (v) {
        case ImageVerdict::not_named: return Reason::no_container_named;
        case ImageVerdict::longer: return Reason::container_longer;
        case ImageVerdict::shorter: return Reason::container_shorter;
        case ImageVerdict::not_whole: return Reason::container_not_whole;
        case ImageVerdict::name_differs: return Reason::container_name_differs;
        default: return Reason::container_missing;
    }
}

unsigned debug_level(const Settings& cfg) {
    if (cfg.on_dbg_pf != 0) return 2;
    return cfg.on_dbg_pr != 0 ? 1 : 0;
}

}  // namespace

ImageVerdict image_verdict(const ContainerFacts& c, const char* name) {
    if (!c.named) return ImageVerdict::not_named;
    if (c.loaded != 1) return refused_for(c.loaded);
    switch (check_container_name(name, c.crc)) {
        case NameCheck::matches: return ImageVerdict::verified;
        case NameCheck::differs: return ImageVerdict::name_differs;
        case NameCheck::not_a_crc: return ImageVerdict::unchecked;
    }
    return ImageVerdict::unchecked;
}

bool image_usable(ImageVerdict v) {
    return v == ImageVerdict::verified || v == ImageVerdict::unchecked;
}

Policy policy_of(const Settings& cfg, const EntryCheck (&entries)[4], bool image) {
    Settings copy = cfg;  // what the decision reads is reached through a writable Settings
    DecisionConfig d = decision_config(copy);
    for (int n = 0; n < 4; ++n) d.allowlist[n] = entries[n].mac;
    Policy p;
    uint32_t named = 0;
    const bool numbered = name_number(cfg.s_BinContainer, named);
    const uint32_t other_crc = numbered ? named + 1 : 0;  // never the name: one of another number
    uint8_t unlisted[6] = {};
    unlisted_serial(d, unlisted);
    const uint8_t jump = cfg.app_jump_regime;
    const BoardFate other = decide(BoardKind::other_firmware, d, other_crc, unlisted, image, jump);
    p.why_none = policy_reason(other.analysis);
    if (!other.analysis.analysed) {
        BoardFate every = other;
        every.kind = BoardKind::every;
        add(p, every);
        return p;
    }
    p.by_list = found(other.analysis, Finding::by_list);
    if (p.by_list) {
        for (const EntryCheck& e : entries) {
            if (!e.valid) {
                p.zero_serial_listed = true;
                continue;
            }
            if (p.count == 0) add(p, decide(BoardKind::listed, d, other_crc, e.mac, image, jump));
        }
        BoardFate not_listed = other;
        not_listed.kind = BoardKind::not_listed;
        add(p, not_listed);
    } else {
        add(p, other);
    }
    if (numbered) {
        const BoardFate same = decide(BoardKind::same_firmware, d, named, unlisted, image, jump);
        p.same_possible = found(same.analysis, Finding::same_firmware);
        if (p.same_possible) {
            p.same_crc = named;
            add(p, same);
        }
    }
    for (size_t i = 0; i < p.count; ++i) {
        const Action with_image = act(p.boards[i].analysis, ActingFacts{true, true, jump, 0});
        p.updates_some_board = p.updates_some_board || with_image.what == DeviceAction::update;
    }
    return p;
}

CheckVerdict judge(const CheckFacts& f) {
    CheckVerdict v;
    if (!f.readable) return v;
    const Settings& cfg = f.cfg;
    v.image = image_verdict(f.container, cfg.s_BinContainer);
    Settings copy = cfg;  // the entries' texts are reached through a writable Settings
    for (int n = 0; n < 4; ++n) {
        EntryCheck& e = v.entries[n];
        e.set = copy.entry_text(n)[0] != '\0';
        e.valid = parse_serial(copy.entry_text(n), e.mac);
    }
    v.policy = policy_of(cfg, v.entries, image_usable(v.image));
    if (!image_usable(v.image)) v.reasons[v.reason_count++] = image_reason(v.image);
    if (!v.policy.updates_some_board) v.reasons[v.reason_count++] = v.policy.why_none;
    v.password_empty = cfg.bin_pass == 0;
    v.jump_acts_as_zero = cfg.app_jump_regime > 1;
    v.exit_status = v.reason_count == 0 ? 0 : 1;
    return v;
}

bool ini_row_listed(const IniKey& k) { return k.rule != IniRule::DebugTrace; }

std::string ini_value_text(const IniKey& k, const Settings& cfg) {
    char text[300] = {};
    std::visit(
        [&]<typename T>(T Settings::*field) {
            const T& value = cfg.*field;
            if constexpr (std::is_array_v<T>) {
                std::snprintf(text, sizeof text, "%s", value);
            } else if (k.rule == IniRule::Password) {
                std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
            } else if (k.rule == IniRule::DebugVerbose || k.rule == IniRule::DebugTrace) {
                std::snprintf(text, sizeof text, "%u", debug_level(cfg));
            } else {
                std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value));
            }
        },
        k.field);
    return text;
}

bool ini_at_default(const IniKey& k, const Settings& cfg) {
    return std::visit(
        [&]<typename T>(T Settings::*field) {
            const T& value = cfg.*field;
            if constexpr (std::is_array_v<T>) {
                return value[0] == '\0';
            } else {
                switch (k.rule) {
                    case IniRule::IsOne: return value == static_cast<T>(k.number == 1);
                    case IniRule::NotZero: return value == static_cast<T>(k.number != 0);
                    case IniRule::DebugVerbose:
                    case IniRule::DebugTrace: return debug_level(cfg) == 0;
                    case IniRule::Password: return value == 0;
                    case IniRule::Integer:
                    case IniRule::Text: break;
                }
                return value == static_cast<T>(k.number);
            }
        },
        k.field);
}

}  // namespace qd
