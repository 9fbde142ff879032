// Writing the update journal: the decision noted, the line made and appended whole.
#include "server/journal/journal.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/journal_file.hpp"
#include "protocol/serial.hpp"
#include "server/server.hpp"

namespace qd {

const char* const JOURNAL_HEADER =
    "time,serial,ip,hw,bootloader,crc_before,decision,result,crc_after,image,image_crc,"
    "duration_ms,commands,repeats";

namespace {

constexpr size_t kReasonSize = 160;
constexpr size_t kLineSize = 1024;

const char* decision_text(Verdict d) {
    switch (d) {
        case Verdict::bad_address: return "bad-address";
        case Verdict::refused: return "refused";
        case Verdict::same_firmware: return "same-firmware";
        case Verdict::not_listed: return "not-listed";
        case Verdict::no_image: return "no-image";
        case Verdict::update: return "update";
    }
    return "";
}

const char* outcome_word(DialogueEnd r) {
    switch (r) {
        case DialogueEnd::updated: return "updated";
        case DialogueEnd::verify_failed: return "verify-failed";
        case DialogueEnd::stalled: return "stalled";
        case DialogueEnd::device_refused: return "device-refused";
        case DialogueEnd::bad_password: return "bad-password";
        case DialogueEnd::interrupted: return "interrupted";
        case DialogueEnd::crc_differs: return "crc-differs";
        case DialogueEnd::jumped: return "jumped";
        case DialogueEnd::jump_unconfirmed: return "jump-unconfirmed";
        case DialogueEnd::ignored: return "ignored";
        case DialogueEnd::unreachable: return "unreachable";
    }
    return "";
}

// Appends formatted text at `len`; false once the buffer is full.
bool put(char* out, size_t cap, size_t& len, const char* text) {
    const size_t n = std::strlen(text);
    if (len + n >= cap) return false;
    std::memcpy(out + len, text, n + 1);
    len += n;
    return true;
}

// A field as CSV wants it: in quotes, with quotes doubled, when it holds a comma, a quote or a
// line end.
bool put_field(char* out, size_t cap, size_t& len, const char* text) {
    if (std::strpbrk(text, ",\"\r\n") == nullptr) return put(out, cap, len, text);
    if (!put(out, cap, len, "\"")) return false;
    for (const char* p = text; *p != '\0'; ++p) {
        const char one[3] = {*p, *p == '"' ? '"' : '\0', '\0'};
        if (!put(out, cap, len, one)) return false;
    }
    return put(out, cap, len, "\"");
}

// "2026-12-10T13:05:42+03:00"
void iso_time(const LocalTime& t, char* out, size_t cap) {
    const int off = t.utc_offset_min < 0 ? -t.utc_offset_min : t.utc_offset_min;
    std::snprintf(out, cap, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.utc_offset_min < 0 ? '-' : '+', off / 60, off % 60);
}

bool write_line(Server& srv, const char* line, size_t len) {
    char reason[kReasonSize] = {};
    if (srv.journal.file->append_line(line, len, reason, sizeof reason)) return true;
    say(srv.con, "Ошибка записи журнала обновлений: %s\n", reason);
    srv.journal.active = false;  // no line is ever continued after a failed one
    return false;
}

Journal::Quiet* quiet_slot(Journal& j, const uint8_t mac[6]) {
    for (Journal::Quiet& q : j.quiet) {
        if (q.used && std::memcmp(q.mac, mac, 6) == 0) return &q;
    }
    return nullptr;
}

// True when the same line without a command was the last one written for this serial.
bool repeats_quiet_line(Journal& j, const JournalEntry& e, DialogueEnd result) {
    const Journal::Quiet* q = quiet_slot(j, e.mac);
    return result == DialogueEnd::ignored && q != nullptr && q->decision == e.decision;
}

void remember_line(Journal& j, const JournalEntry& e, DialogueEnd result) {
    Journal::Quiet* q = quiet_slot(j, e.mac);
    if (result != DialogueEnd::ignored) {
        if (q != nullptr) q->used = false;
        return;
    }
    if (q == nullptr) {
        q = &j.quiet[j.next_quiet];
        j.next_quiet = (j.next_quiet + 1) % Journal::kQuietSlots;
    }
    std::memcpy(q->mac, e.mac, 6);
    q->decision = e.decision;
    q->used = true;
}

}  // namespace

void journal_open(Server& srv) {
    Journal& j = srv.journal;
    if (srv.cfg.s_Journal[0] == '\0' || j.file == nullptr) return;
    char reason[kReasonSize] = {};
    if (!j.file->open(srv.cfg.s_Journal, reason, sizeof reason)) {
        say(srv.con, "Журнал обновлений %s не открыт: %s\n", srv.cfg.s_Journal, reason);
        return;
    }
    j.active = true;
    if (j.file->empty()) write_line(srv, JOURNAL_HEADER, std::strlen(JOURNAL_HEADER));
}

JournalEntry journal_entry(Server& srv, const from_dev_bcst_t& bc, const char* ip, Verdict verdict) {
    JournalEntry e;
    e.time = srv.clock.now();
    e.decided_ms = srv.clock.monotonic_ms();
    std::memcpy(e.mac, bc.my_mac, 6);
    std::snprintf(e.ip, sizeof e.ip, "%s", ip);
    e.hw = bc.ver_hw;
    e.bootloader = bc.ver_bl;
    e.crc_before = bc.crc_uflash;
    e.decision = verdict;
    return e;
}

void journal_write(Server& srv, const JournalEntry& e, const DialogueCounts& d,
                   DialogueEnd result) {
    Journal& j = srv.journal;
    if (!j.active || repeats_quiet_line(j, e, result)) return;
    const bool sent = result != DialogueEnd::ignored;
    char line[kLineSize];
    const size_t len = journal_line(
        e, result, srv.cfg.s_BinContainer, srv.image_loaded ? &srv.image_crc : nullptr,
        sent && d.crc_reported, d.crc_after, sent ? srv.clock.monotonic_ms() - e.decided_ms : 0,
        sent ? d.commands : 0, sent ? d.repeats : 0, line, sizeof line);
    if (len == 0) {  // never an empty or cut line in place of the device's
        say(srv.con, "Ошибка записи журнала обновлений: %s\n", "line too long");
        j.active = false;
        return;
    }
    if (write_line(srv, line, len)) remember_line(j, e, result);
}

size_t journal_line(const JournalEntry& e, DialogueEnd result, const char* image,
                    const uint32_t* image_crc, bool crc_reported, uint32_t crc_after,
                    uint64_t duration_ms, uint32_t commands, uint32_t repeats, char* out,
                    size_t cap) {
    char head[160];
    char time[40];
    iso_time(e.time, time, sizeof time);
    std::snprintf(head, sizeof head, "%s,%s,%s,%" PRIu32 ",%" PRIu32 ",%08X,%s,%s,", time,
                  serial_text(e.mac).c_str(), e.ip, e.hw, e.bootloader, e.crc_before,
                  decision_text(e.decision), outcome_word(result));
    char after[16] = "";
    if (crc_reported) std::snprintf(after, sizeof after, "%08X", crc_after);
    char tail[96];
    char crc[16] = "";
    if (image_crc != nullptr) std::snprintf(crc, sizeof crc, "%08X", *image_crc);
    std::snprintf(tail, sizeof tail, ",%s,%" PRIu64 ",%" PRIu32 ",%" PRIu32, crc, duration_ms,
                  commands, repeats);
    size_t len = 0;
    out[0] = '\0';
    const bool fits = put(out, cap, len, head) && put(out, cap, len, after) &&
                      put(out, cap, len, ",") && put_field(out, cap, len, image) &&
                      put(out, cap, len, tail);
    return fits ? len : 0;
}

}  // namespace qd
