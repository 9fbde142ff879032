// Reading the server's console at its frame-trace level (DebugPrint=2): the events it tells of,
// in order, and the lines that are of no form the server prints after its start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qd::test {

struct TraceEvent {
    enum Kind {
        rx,             // "   RX byte:N; "               a = the count received (-1: none)
        crc_check,      // "BC|DEV, CRC calc:X, CRC rec:Y " a = 1 broadcast, 0 reply; b = X; c = Y
        broadcast_ok,   // "OK! Frame:N"                   a = the broadcast's frame number
        crc_error,      // "ERROR! "
        reply,          // "Frame:F CMD:C Result:R "       a = F, b = C, c = R
        tx,             // " TX byte: 288; CMD:C "         a = C
        no_reply,       // "Error Net_Handler NAME"        name
        block,          // " NPW:K; Adr: ..."              a = K
        report,         // "NAME{C} Time:T ms[ Error code:R]"  name; a = C; b = R (1 without code)
        flash_crc,      // "FLASH UP1 CRC32: 0hX "         a = X
        tx_opened,      // "Create soc tx. IP: ..."
        tx_closed,      // "closesocket() DEV ok! "
        device_report,  // "Принято широковещательное сообщение ..."
        closing,  // "Ожидаем широковещательное сообщение от следующего устройства."
        send_failed,       // "ERR: sendto()failed: N"      a = N
        rewrite,           // "CRC32 FLASH UP1 не совпадает с образом (0hX), повторяем запись"
                           //                               a = X
        verify_failed,     // "Обновление не удалось, переход в приложение не выполняется"
        stalled,           // "Устройство не отвечает N с, обмен прерван"  a = N
        jump_unconfirmed,  // "Ответ на CMD_JUMP_TO_APP не получен"
        bad_address,       // "IP адрес устройства A недопустим, обмен с ним невозможен!"
    };
    Kind kind;
    int64_t a = 0;
    int64_t b = 0;
    int64_t c = 0;
    std::string name;
};

std::vector<TraceEvent> trace_events(const std::string& text);

// The lines (split at line feeds and carriage returns) after the line "Старт сервера
// обновлений... " that are of no form the server prints at the frame-trace level.
std::vector<std::string> unknown_lines(const std::string& text);

}  // namespace qd::test
