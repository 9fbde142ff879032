// A valid announcement, for both engines: the device's report, the analysis and its findings,
// and the acting step with its lines and the journal's entry.
#include "server/announcement.hpp"

#include <cstdio>
#include <iterator>

#include "server/config/rules_config.hpp"
#include "server/console/report.hpp"
#include "server/journal/journal.hpp"
#include "server/net/device_address.hpp"
#include "server/server.hpp"

namespace qd {

void announced_ip(const from_dev_bcst_t& bc, char (&ip)[32]) {
    std::snprintf(ip, sizeof ip, "%d.%d.%d.%d", bc.my_ip[0], bc.my_ip[1], bc.my_ip[2],
                  bc.my_ip[3]);
}

void report_device(Server& srv, const from_dev_bcst_t& bc) {
    Console& con = srv.con;
    say_separator_lf(con);
    p_time(con, srv.clock);
    say_line(con, "\nПринято широковещательное сообщение от обновляемого устройства (dev)");
    say(con, "Версия структуры: %d \n", static_cast<int>(bc.vers));
    say(con, "Версия HW: %d \n", static_cast<int>(bc.ver_hw));
    say(con, "Версия протокола: %d \n", static_cast<int>(bc.ver_bl));
    say(con, "Учетный номер применяемого шифроключа: %d \n", static_cast<int>(bc.num_key));
    say(con, "CRC32 бутлоадера: 0h%X \n", bc.crc_bl);
    say(con, "MAC dev/serNum: %u:%u:%u:%u:%u:%u\n", bc.my_mac[0], bc.my_mac[1], bc.my_mac[2],
        bc.my_mac[3], bc.my_mac[4], bc.my_mac[5]);
    say(con, "IP dev: %d.%d.%d.%d \n", bc.my_ip[0], bc.my_ip[1], bc.my_ip[2], bc.my_ip[3]);
    say(con, "Port dev: %d \n", static_cast<int>(bc.my_port));
    say(con, "CRC32 текущей пользовательской программы UP1: 0h%X \n", bc.crc_uflash);
    say(con, "Номер принятого пакета: %d \n", static_cast<int>(bc.n_frame));
    say_separator(con);
}

namespace {

// What the console says for each finding, in the order of Finding: its line, and a second one
// or nullptr.
struct FindingLines {
    const char* line;
    const char* second;
};
constexpr FindingLines FINDING_LINES[] = {
    {"ПО в файле и существующее ПО совпадают!", nullptr},
    {"ПО в файле и существующее ПО НЕ совпадают!", nullptr},
    {"Автообновление ПО запрещено!", nullptr},
    {"Автообновление ПО принудительно!", "Внимание! Выполняйте только однократно!"},
    {"Автообновление ПО по списку разрешено!", nullptr},
    {"Сер. номер найден в списке", nullptr},
    {"Сер. номер НЕ найден в списке!", nullptr},
    {"Автообновление ПО для любого сер. номера разрешено!", nullptr},
};
static_assert(std::size(FINDING_LINES) == static_cast<size_t>(Finding::any_serial) + 1,
              "a line for each finding");

void say_findings(Console& con, const Analysis& a) {
    for (size_t i = 0; i < a.count; ++i) {
        const FindingLines& f = FINDING_LINES[static_cast<size_t>(a.findings[i])];
        say_line(con, f.line);
        if (f.second != nullptr) say_line(con, f.second);
    }
}

void say_ignored(Server& srv, const JournalEntry& entry) {
    journal_write(srv, entry, DialogueCounts{}, DialogueEnd::ignored);
    say_line(srv.con, "Игнорируем обнаруженное устройство.");
    say_line(srv.con, "Ожидаем что оно перейдет на UP по таймауту.");
    say_separator(srv.con);
}

}  // namespace

Analysis report_and_analyse(Server& srv, const from_dev_bcst_t& bc) {
    report_device(srv, bc);
    say_line(srv.con, "Анализ необходимости обновления:");
    const Analysis a = analyse(bc, decision_config(srv.cfg));
    if (a.analysed) {
        say(srv.con, "Имя bin файла для обновления: %s; ", srv.cfg.s_BinContainer);
        say(srv.con, "CRC32 текущей программы UP1: %X \n", bc.crc_uflash);
        say_findings(srv.con, a);
    }
    say_separator(srv.con);
    return a;
}

Acted act_and_say(Server& srv, const from_dev_bcst_t& bc, const char* ip, const Analysis& analysis,
                  uint8_t flag_before, JournalEntry& entry) {
    const AddressFacts address = address_facts(srv, ip);
    const ActingFacts facts{address.usable, srv.image_loaded, srv.cfg.app_jump_regime,
                            flag_before};
    const Action a = act(analysis, facts);
    if (srv.journal.active) entry = journal_entry(srv, bc, ip, a.verdict);
    if (a.bad_address) say(srv.con, "IP адрес устройства %s недопустим, обмен с ним невозможен!\n", ip);
    if (a.no_image) say_line(srv.con, "Образ ПО не загружен, обновление невозможно!");
    if (a.what == DeviceAction::jump) {
        say_line(srv.con, "Передаем обнаруженному устройству команду CMD_JUMP_TO_APP.");
    } else if (a.what == DeviceAction::ignore) {
        say_ignored(srv, entry);
    }
    return Acted{a, address.reach == Reach::outside};
}

}  // namespace qd
