#include "support/trace.hpp"

#include <cstdlib>
#include <functional>
#include <optional>
#include <regex>
#include <string_view>
#include <utility>

namespace qd::test {
namespace {

using Kind = TraceEvent::Kind;

TraceEvent event(Kind kind, int64_t a = 0, int64_t b = 0, int64_t c = 0, std::string name = {}) {
    return TraceEvent{kind, a, b, c, std::move(name)};
}

// Reads a number at `at` (decimal with an optional sign, or upper-case hexadecimal) and moves
// `at` past it; nothing when there is none.
std::optional<int64_t> number(std::string_view text, size_t& at, int base) {
    size_t end = at;
    if (base == 10 && end < text.size() && text[end] == '-') ++end;
    const size_t digits_from = end;
    const auto is_digit = [base](char ch) {
        return (ch >= '0' && ch <= '9') || (base == 16 && ch >= 'A' && ch <= 'F');
    };
    while (end < text.size() && is_digit(text[end])) ++end;
    if (end == digits_from) return std::nullopt;
    const std::string digits(text.substr(at, end - at));
    at = end;
    return std::strtoll(digits.c_str(), nullptr, base);
}

bool literal(std::string_view text, size_t& at, std::string_view what) {
    if (text.substr(at, what.size()) != what) return false;
    at += what.size();
    return true;
}

std::string word(std::string_view text, size_t& at) {
    const size_t from = at;
    while (at < text.size() && ((text[at] >= 'A' && text[at] <= 'Z') || text[at] == '_')) ++at;
    return std::string(text.substr(from, at - from));
}

// Each parser starts behind its marker, may move `at` on and adds what it read.
using Parser = std::function<void(std::string_view, size_t&, std::vector<TraceEvent>&)>;

Parser one_number(Kind kind, int base) {
    return [kind, base](std::string_view t, size_t& at, std::vector<TraceEvent>& out) {
        if (const auto n = number(t, at, base)) out.push_back(event(kind, *n));
    };
}

Parser plain(Kind kind) {
    return [kind](std::string_view, size_t&, std::vector<TraceEvent>& out) {
        out.push_back(event(kind));
    };
}

Parser crc_check(int64_t broadcast) {
    return [broadcast](std::string_view t, size_t& at, std::vector<TraceEvent>& out) {
        const auto calc = number(t, at, 16);
        if (!calc || !literal(t, at, ", CRC rec:")) return;
        if (const auto rec = number(t, at, 16)) {
            out.push_back(event(Kind::crc_check, broadcast, *calc, *rec));
        }
    };
}

void reply(std::string_view t, size_t& at, std::vector<TraceEvent>& out) {
    const auto frame = number(t, at, 10);
    if (!frame || !literal(t, at, " CMD:")) return;
    const auto cmd = number(t, at, 10);
    if (!cmd || !literal(t, at, " Result:")) return;
    if (const auto result = number(t, at, 10)) {
        out.push_back(event(Kind::reply, *frame, *cmd, *result));
    }
}

void no_reply(std::string_view t, size_t& at, std::vector<TraceEvent>& out) {
    out.push_back(event(Kind::no_reply, 0, 0, 0, "CMD_" + word(t, at)));
}

// "CMD_" begins a report only when "{code} Time:T ms" follows the name.
void report(std::string_view t, size_t& at, std::vector<TraceEvent>& out) {
    const std::string name = "CMD_" + word(t, at);
    if (!literal(t, at, "{")) return;
    const auto cmd = number(t, at, 10);
    if (!cmd || !literal(t, at, "} Time:") || !number(t, at, 10) || !literal(t, at, " ms")) return;
    std::optional<int64_t> result = 1;
    if (literal(t, at, " Error code:")) result = number(t, at, 10);
    if (result) out.push_back(event(Kind::report, *cmd, *result, 0, name));
}

struct Marker {
    std::string_view text;
    Parser parse;
};

const std::vector<Marker>& markers() {
    static const std::vector<Marker> table{
        {"   RX byte:", one_number(Kind::rx, 10)},
        {"BC, CRC calc:", crc_check(1)},
        {"DEV, CRC calc:", crc_check(0)},
        {"OK! Frame:", one_number(Kind::broadcast_ok, 10)},
        {"ERROR! \n", plain(Kind::crc_error)},
        {"Frame:", reply},
        {" TX byte: 288; CMD:", one_number(Kind::tx, 10)},
        {"Error Net_Handler CMD_", no_reply},
        {" NPW:", one_number(Kind::block, 10)},
        {"CMD_", report},
        {"FLASH UP1 CRC32: 0h", one_number(Kind::flash_crc, 16)},
        {"Create soc tx. IP: ", plain(Kind::tx_opened)},
        {"closesocket() DEV ok! ", plain(Kind::tx_closed)},
        {"Принято широковещательное сообщение от обновляемого устройства (dev)",
         plain(Kind::device_report)},
        {"Ожидаем широковещательное сообщение от следующего устройства.", plain(Kind::closing)},
        {"ERR: sendto()failed: ", one_number(Kind::send_failed, 10)},
        {"CRC32 FLASH UP1 не совпадает с образом (0h", one_number(Kind::rewrite, 16)},
        {"Обновление не удалось, переход в приложение не выполняется",
         plain(Kind::verify_failed)},
        {"Устройство не отвечает ", one_number(Kind::stalled, 10)},
        {"Ответ на CMD_JUMP_TO_APP не получен", plain(Kind::jump_unconfirmed)},
        {"IP адрес устройства ", plain(Kind::bad_address)},
    };
    return table;
}

// --- line forms ----------------------------------------------------------------------------

const std::regex& check_clause() {
    static const std::regex r(R"((BC|DEV), CRC calc:[0-9A-F]+, CRC rec:[0-9A-F]+ )"
                              R"((OK! Frame:-?\d+|ERROR! |Frame:-?\d+ CMD:\d+ Result:\d+ ))");
    return r;
}

const std::regex& known_line() {
    static const std::regex r(
        "|Ожидание широковещательного сообщения от устройства: \\d+ "
        "|-{56}"
        "|\\[\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\\]"
        "|Принято широковещательное сообщение от обновляемого устройства \\(dev\\)"
        "|Версия структуры: -?\\d+ |Версия HW: -?\\d+ |Версия протокола: -?\\d+ "
        "|Учетный номер применяемого шифроключа: -?\\d+ "
        "|CRC32 бутлоадера: 0h[0-9A-F]+ "
        "|MAC dev/serNum: \\d+:\\d+:\\d+:\\d+:\\d+:\\d+"
        "|IP dev: \\d+\\.\\d+\\.\\d+\\.\\d+ |Port dev: -?\\d+ "
        "|CRC32 текущей пользовательской программы UP1: 0h[0-9A-F]+ "
        "|Номер принятого пакета: -?\\d+ "
        "|Анализ необходимости обновления:"
        "|Имя bin файла для обновления: [^;]*; CRC32 текущей программы UP1: [0-9A-F]+ "
        "|ПО в файле и существующее ПО (НЕ )?совпадают!"
        "|Автообновление ПО запрещено!"
        "|Автообновление ПО для любого сер\\. номера разрешено!"
        "|Автообновление ПО по списку разрешено!|Автообновление ПО принудительно!"
        "|Внимание! Выполняйте только однократно!"
        "|Сер\\. номер найден в списке|Сер\\. номер НЕ найден в списке!"
        "|Игнорируем обнаруженное устройство\\.|Ожидаем что оно перейдет на UP по таймауту\\."
        "|Передаем обнаруженному устройству команду CMD_JUMP_TO_APP\\."
        "|Create soc tx\\. IP: [0-9.]+, Port: 5008"
        "|Create TX struct\\. S:284; Calc CRC32:[0-9A-F]+;"
        "| TX byte: 288; CMD:\\d+ "
        "|Error Net_Handler CMD_[A-Z_]+"
        "|CMD_[A-Z_]+\\{\\d+\\} Time:\\d+ ms( Error code:\\d+  .*)?"
        "| NPW:\\d+; Adr: 0h[0-9A-F]+; "
        "|Переход на UP[12]|Программирование возможно|Программирование запрещено перемычкой"
        "|FLASH UP1 CRC32: 0h[0-9A-F]+ "
        "|closesocket\\(\\) DEV ok! "
        "|Ожидаем широковещательное сообщение от следующего устройства\\."
        "|ERR: sendto\\(\\)failed: -?\\d+"
        "|CRC32 FLASH UP1 не совпадает с образом \\(0h[0-9A-F]+\\), повторяем запись"
        "|Обновление не удалось, переход в приложение не выполняется"
        "|Устройство не отвечает \\d+ с, обмен прерван"
        "|Ответ на CMD_JUMP_TO_APP не получен"
        "|IP адрес устройства [0-9.]+ недопустим, обмен с ним невозможен!");
    return r;
}

// A line is any number of receive traces, then a CRC clause or one of the known lines.
bool known(std::string_view line) {
    size_t at = 0;
    for (;;) {
        size_t next = at;
        const bool traced = literal(line, next, "   RX byte:") &&
                            number(line, next, 10).has_value() && literal(line, next, "; ");
        if (!traced) break;
        at = next;
    }
    const std::string rest(line.substr(at));
    if (rest.rfind("BC, ", 0) == 0 || rest.rfind("DEV, ", 0) == 0) {
        return std::regex_match(rest, check_clause());
    }
    return std::regex_match(rest, known_line());
}

}  // namespace

std::vector<TraceEvent> trace_events(const std::string& text) {
    std::vector<TraceEvent> events;
    const std::string_view t(text);
    for (size_t at = 0; at < t.size();) {
        bool matched = false;
        for (const Marker& m : markers()) {
            if (t[at] != m.text[0] || t.substr(at, m.text.size()) != m.text) continue;
            at += m.text.size();
            m.parse(t, at, events);
            matched = true;
            break;
        }
        if (!matched) ++at;
    }
    return events;
}

std::vector<std::string> unknown_lines(const std::string& text) {
    const std::string start = "Старт сервера обновлений... \n";
    const size_t from = text.find(start);
    if (from == std::string::npos) return {"<no start line>"};
    std::vector<std::string> unknown;
    const std::string_view t = std::string_view(text).substr(from + start.size());
    for (size_t at = 0; at <= t.size();) {
        size_t end = t.find_first_of("\r\n", at);
        if (end == std::string_view::npos) end = t.size();
        const std::string_view line = t.substr(at, end - at);
        if (!known(line)) unknown.emplace_back(line);
        at = end + 1;
    }
    return unknown;
}

}  // namespace qd::test
