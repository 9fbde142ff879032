// What the update's rules come to: the verdict on an announced device, and how a dialogue with
// it ended. The journal writes them as words; the consoles say them their own way.
#pragma once

#include <cstdint>

namespace qd {

// What the decision on an announced device came to.
enum class Verdict : uint8_t {
    bad_address,    // its address can be no device's
    refused,        // the policy or the container type refuses it
    same_firmware,  // it runs the container's firmware already
    not_listed,     // its serial number is not on the allowlist
    no_image,       // to be updated, but no image is loaded
    update,
};

// How a dialogue with a device ended.
enum class DialogueEnd : uint8_t {
    updated,           // the jump accepted after the write, the flash matching the image
    verify_failed,     // the flash differed three times
    stalled,           // the device stopped answering
    device_refused,    // the device kept refusing the step until the stall time
    bad_password,      // the device refused the image password three times
    interrupted,       // the server was ended from outside in the middle of the dialogue
    crc_differs,       // jumped after the write, the flash unchecked and not matching the image
    jumped,            // sent to its application without an update
    jump_unconfirmed,  // no jump accepted in five attempts
    ignored,           // nothing sent
    unreachable,       // silent from the start, at an address outside the PC's networks
};

}  // namespace qd
