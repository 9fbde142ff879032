// The decision on an announced device, written once for both engines: the analysis of its
// announcement (is it to be updated, and why) and the acting step (update it, send it to its
// application, or let it be). Pure functions: no I/O and no text; the caller says the findings
// and acts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/frames.hpp"
#include "update/outcome.hpp"

namespace qd {

// What the decision reads of the configuration.
struct DecisionConfig {
    uint8_t type_file_for_update = 0;  // 0: a bin container, whose name the analysis compares
    uint8_t autoprog_regime = 0;       // the update policy
    uint8_t app_jump_regime = 0;       // 1: devices not updated are sent to their application
    const char* s_BinContainer = "";
    const uint8_t* allowlist[4] = {};  // the serial numbers listed, six bytes each
};

// The analysis's findings, in the order they are said.
enum class Finding : uint8_t {
    same_firmware,   // the container is the firmware the device runs
    other_firmware,
    never,           // the policy allows no update
    forced,          // the policy updates whatever the device runs
    by_list,         // the policy updates the serial numbers listed
    listed,          // the serial number is one listed (once for each entry that holds it)
    not_listed,
    any_serial,      // the policy updates any serial number
};

struct Analysis {
    bool analysed = false;  // the container's name was compared (a bin container)
    static constexpr size_t kMostFindings = 8;
    Finding findings[kMostFindings] = {};
    size_t count = 0;
    // What the update flag becomes, or -1 when the analysis leaves it as it was.
    int enable_update_up1 = -1;
    Verdict verdict = Verdict::refused;
};

// The analysis of an announcement.
Analysis analyse(const from_dev_bcst_t& bc, const DecisionConfig& cfg);

enum class DeviceAction : uint8_t { ignore, update, jump };

struct Action {
    DeviceAction what = DeviceAction::ignore;
    Verdict verdict = Verdict::refused;  // the verdict as it stands after the acting step
    uint8_t enable_update_up1 = 0;       // the update flag acted on
    bool bad_address = false;            // its address can be no device's: nothing is sent
    bool no_image = false;               // to be updated, but no image is loaded
};

// What the acting step reads besides the analysis.
struct ActingFacts {
    bool address_usable = false;  // the device's address can be a device's
    bool image_loaded = false;
    uint8_t app_jump_regime = 0;  // AutoJumpApp: only 1 sends a device to its application
    // The update flag before this device: what an analysis that leaves it as it was (-1) acts
    // on: the previous board's where the caller carries it, else 0.
    uint8_t flag_before = 0;
};

// The acting step on the analysis: update the device, send it to its application, or let it be.
Action act(const Analysis& analysis, const ActingFacts& facts);

}  // namespace qd
