// The judgement of a configuration check, on the facts gathered: the image, the allowlist, the
// policy for each kind of board (by the update decision itself), what keeps every board from
// being updated, and the exit status. Pure functions: no I/O and no text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/check/facts.hpp"
#include "server/config/settings.hpp"
#include "update/decision.hpp"

namespace qd {

// What becomes of the container, as start-up would load it.
enum class ImageVerdict : uint8_t {
    not_named,     // BinContainer is empty
    not_found,     // the file cannot be opened
    longer,        // refused: longer than a container
    shorter,       // refused: shorter than a container (a cut copy)
    not_whole,     // refused: not read whole
    name_differs,  // refused: its name is a CRC-32 its bytes do not give
    unchecked,     // loaded; its name is no CRC-32, so nothing to hold it against
    verified,      // loaded; its name is its CRC-32
};
ImageVerdict image_verdict(const ContainerFacts& c, const char* name);
// An image start-up would load and the server would write into boards.
bool image_usable(ImageVerdict v);

// An allowlist entry as start-up takes it with AutoProg=1.
struct EntryCheck {
    bool set = false;    // the key has a value
    bool valid = false;  // six numbers: the serial number in mac; otherwise mac stays 0.0.0.0.0.0
    uint8_t mac[6] = {};
};

// The kinds of board the policy tells apart, each as the decision takes it.
enum class BoardKind : uint8_t {
    every,           // TypeContainer not 0: every board alike
    other_firmware,  // a board running other firmware than the container's
    listed,          // the same, its serial number on the allowlist
    not_listed,      // the same, its serial number on no entry
    same_firmware,   // a board already running the container's firmware
};

struct BoardFate {
    BoardKind kind = BoardKind::every;
    Analysis analysis;
    Action action;  // for a board at a usable address, with the image as it is
};

// What keeps every board from being updated.
enum class Reason : uint8_t {
    no_container_named,
    container_missing,
    container_longer,
    container_shorter,
    container_not_whole,
    container_name_differs,
    type_container,  // TypeContainer not 0
    never,           // AutoProg=0
    no_valid_entry,  // AutoProg=1 and no allowlist entry of six numbers
    autoprog_other,  // AutoProg 4..255
};

struct Policy {
    static constexpr size_t kMostKinds = 3;
    BoardFate boards[kMostKinds];
    size_t count = 0;
    // BinContainer is a name the decision can find a board's CRC-32 in ("%X.upk"): the CRC-32
    // of a board that runs the container's firmware. Without it no board counts as running it.
    bool same_possible = false;
    uint32_t same_crc = 0;
    bool by_list = false;             // the allowlist decides (AutoProg=1)
    bool zero_serial_listed = false;  // ... and an entry is empty or not six numbers
    bool updates_some_board = false;  // with a usable image, some kind of board is updated
    Reason why_none = Reason::never;  // when it updates none: why
};
Policy policy_of(const Settings& cfg, const EntryCheck (&entries)[4], bool image_usable);

struct CheckVerdict {
    ImageVerdict image = ImageVerdict::not_named;
    EntryCheck entries[4];
    Policy policy;
    static constexpr size_t kMostReasons = 2;
    Reason reasons[kMostReasons] = {};
    size_t reason_count = 0;
    bool password_empty = false;     // PassBinContainer empty or 0
    bool jump_acts_as_zero = false;  // AutoJumpApp neither 0 nor 1
    // 0: a board can be updated with this configuration; 1: none can (the reasons); 2: the file
    // cannot be read.
    int exit_status = 2;
};
CheckVerdict judge(const CheckFacts& f);

// The rows of INI_KEYS a check lists: a key read twice (DebugPrint) is listed once.
bool ini_row_listed(const IniKey& k);
// The value the server takes from the key's row (cut to its width; DebugPrint as its level;
// the password in hexadecimal), as text.
std::string ini_value_text(const IniKey& k, const Settings& cfg);
// The value is the one the key gives when it is left out.
bool ini_at_default(const IniKey& k, const Settings& cfg);

}  // namespace qd
