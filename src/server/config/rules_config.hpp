// What the update's rules read of the server's configuration.
#pragma once

#include "server/config/settings.hpp"
#include "update/decision.hpp"
#include "update/dialogue.hpp"

namespace qd {

inline SequenceConfig sequence_config(const Settings& cfg) {
    SequenceConfig s;
    s.reply_paced = cfg.reply_paced;
    s.delay_steps = cfg.delay_steps;
    s.delay_write_block = cfg.delay_write_block;
    s.stall_timeout = cfg.stall_timeout;
    s.verify_flash = cfg.verify_flash;
    s.bin_pass = cfg.bin_pass;
    return s;
}

// What a dialogue reads of the server: its rules' configuration and the image loaded.
inline DeviceDialogue::Setup dialogue_setup(const Settings& cfg, const uint8_t* image,
                                            uint32_t image_crc) {
    return DeviceDialogue::Setup{sequence_config(cfg), image, image_crc};
}

inline DecisionConfig decision_config(Settings& cfg) {
    DecisionConfig d;
    d.type_file_for_update = cfg.type_file_for_update;
    d.autoprog_regime = cfg.autoprog_regime;
    d.app_jump_regime = cfg.app_jump_regime;
    d.s_BinContainer = cfg.s_BinContainer;
    for (int n = 0; n < 4; ++n) d.allowlist[n] = cfg.entry_mac(n);
    return d;
}

}  // namespace qd
