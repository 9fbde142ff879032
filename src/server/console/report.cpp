// Console reporting: the time stamp, separators and the report of a device's reply.
#include "server/console/report.hpp"

#include <cstdio>

#include "server/server.hpp"

namespace qd {

namespace {

// The time stamp "[%02d/%02d/%d " "%02d:%02d:%02d]" as text.
struct Stamp {
    char text[48];
};

Stamp stamp_of(Clock& clock) {
    const LocalTime t = clock.now();
    Stamp s{};
    std::snprintf(s.text, sizeof s.text, "[%02d/%02d/%d %02d:%02d:%02d]", t.day, t.month, t.year,
                  t.hour, t.minute, t.second);
    return s;
}

}  // namespace

const char* goes_to_text(uint8_t bits) {
    return (bits & 0x02) != 0 ? "Переход на UP1" : "Переход на UP2";
}

const char* programming_text(uint8_t bits) {
    return (bits & 0x01) != 0 ? "Программирование возможно"
                              : "Программирование запрещено перемычкой";
}

void give_up_text(const GiveUp& why, const char* ip, char* out, size_t cap) {
    const int seconds = why.seconds;
    char code[24];
    const char* text = result_text(why.result);
    if (text == nullptr) {
        std::snprintf(code, sizeof code, "код %d", static_cast<int>(why.result));
        text = code;
    }
    switch (why.why) {
        case DialogueEnd::verify_failed:
            std::snprintf(out, cap, "Обновление не удалось, переход в приложение не выполняется");
            return;
        case DialogueEnd::jump_unconfirmed:
            std::snprintf(out, cap, "Ответ на CMD_JUMP_TO_APP не получен");
            return;
        case DialogueEnd::device_refused:
            std::snprintf(out, cap, "Устройство отказывает %d с: %s, обмен прерван", seconds, text);
            return;
        case DialogueEnd::bad_password:
            std::snprintf(out, cap, "Устройство не принимает пароль образа: %s, обмен прерван",
                          text);
            return;
        case DialogueEnd::unreachable:
            std::snprintf(out, cap,
                          "Устройство недоступно: адрес %s вне сетей адаптеров ПК, обмен прерван",
                          ip);
            return;
        default:
            std::snprintf(out, cap, "Устройство не отвечает %d с, обмен прерван", seconds);
            return;
    }
}

void written_again_text(uint32_t image_crc, char* out, size_t cap) {
    std::snprintf(out, cap, "CRC32 FLASH UP1 не совпадает с образом (0h%X), повторяем запись",
                  image_crc);
}

void outside_networks_text(const char* ip, char* out, size_t cap) {
    std::snprintf(out, cap, "IP адрес устройства %s вне сетей адаптеров ПК", ip);
}

void p_time(Console& con, Clock& clock) { say(con, "%s", stamp_of(clock).text); }

void say_separator_lf(Console& con) {
    say_line(con, "\n--------------------------------------------------------");
}

void unif_dbg_out(Server& srv, const from_dev_update_t& i_d, const char* cmd_string) {
    const auto cmd = static_cast<int>(i_d.get_cmd);
    const auto result = static_cast<int>(i_d.get_result);
    const auto time = static_cast<int>(i_d.time_proc);
    if (srv.cfg.on_dbg_pr == 1) {
        if (i_d.get_result == RES_OK) {
            say(srv.con, "%s{%d} Time:%d ms\n", cmd_string, cmd, time);
            return;
        }
        say(srv.con, "%s{%d} Time:%d ms Error code:%d  ", cmd_string, cmd, time, result);
        if (const char* text = result_text(i_d.get_result)) say_line(srv.con, text);
        return;
    }
    // The time stamp and the report as one message: one write per reply on the update path.
    say(srv.con, "%s%s{%d} Res:%d Time:%d ms\n", stamp_of(srv.clock).text, cmd_string, cmd, result,
        time);
}

}  // namespace qd
