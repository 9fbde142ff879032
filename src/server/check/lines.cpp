// Saying a configuration check: its findings and its verdict as console lines.
#include "server/check/lines.hpp"

#include <cstdio>
#include <string>
#include <variant>

#include "container/container.hpp"

namespace qd {
namespace {

constexpr char (Settings::*kEntryFields[4])[32] = {&Settings::s_NA, &Settings::s_NB,
                                                   &Settings::s_NC, &Settings::s_ND};

// The INI key of allowlist entry n, from the key table.
const char* entry_key(int n) {
    for (const IniKey& k : INI_KEYS) {
        const auto* field = std::get_if<char (Settings::*)[32]>(&k.field);
        if (field != nullptr && *field == kEntryFields[n]) return k.key;
    }
    return "?";
}

std::string dotted(uint32_t a) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF,
                  a & 0xFF);
    return text;
}

void say_keys(Console& con, const Settings& cfg) {
    say_line(con, "Ключи INI (значение, как его примет сервер):");
    for (const IniKey& k : INI_KEYS) {
        if (!ini_row_listed(k)) continue;
        say(con, "[%s] %s=%s%s\n", k.section, k.key, ini_value_text(k, cfg).c_str(),
            ini_at_default(k, cfg) ? " (по умолчанию)" : "");
    }
}

void say_container(Console& con, const CheckFacts& f, const CheckVerdict& v) {
    say_line(con, "Контейнер:");
    if (!f.container.named) {
        say_line(con, "Контейнер не задан ([FILE] BinContainer пуст)");
        return;
    }
    say(con, "%s", f.container.loader_lines.c_str());
    if (f.container.loaded != 1) return;
    say_image_crc(con, f.container.crc);
    if (v.image == ImageVerdict::verified) {
        say_line(con, "Образ проверен: CRC32 совпадает с именем файла");
    } else {
        say_name_check(con, check_container_name(f.cfg.s_BinContainer, f.container.crc));
    }
}

const char* board_text(const BoardFate& b) {
    switch (b.kind) {
        case BoardKind::every: return "Любая плата";
        case BoardKind::other_firmware: return "Плата с другим ПО";
        case BoardKind::listed: return "Плата с другим ПО, сер. номер в списке";
        case BoardKind::not_listed: return "Плата с другим ПО, сер. номер не в списке";
        case BoardKind::same_firmware: return "Плата, на которой уже ПО контейнера";
    }
    return "";
}

std::string fate_text(const BoardFate& b) {
    const Action& a = b.action;
    if (a.what == DeviceAction::update) {
        return b.kind == BoardKind::same_firmware
                   ? "обновляется повторно (Внимание! Выполняйте только однократно!)"
                   : "обновляется";
    }
    std::string text = a.no_image ? "подлежит обновлению, но образ не загружен: не обновляется, "
                                   : "не обновляется, ";
    text += a.what == DeviceAction::jump ? "переводится в приложение (CMD_JUMP_TO_APP)"
                                         : "игнорируется";
    return text;
}

void say_boards(Console& con, const Settings& cfg, const Policy& p) {
    say(con, "Политика обновления (TypeContainer=%u, AutoProg=%u, AutoJumpApp=%u):\n",
        cfg.type_file_for_update, cfg.autoprog_regime, cfg.app_jump_regime);
    for (size_t i = 0; i < p.count; ++i) {
        const BoardFate& b = p.boards[i];
        if (b.kind == BoardKind::same_firmware) {
            say(con, "%s (CRC32 %X): %s\n", board_text(b), p.same_crc, fate_text(b).c_str());
        } else {
            say(con, "%s: %s\n", board_text(b), fate_text(b).c_str());
        }
    }
    const bool analysed = p.count > 0 && p.boards[0].kind != BoardKind::every;
    if (analysed && !p.same_possible && cfg.s_BinContainer[0] != '\0') {
        say(con,
            "Ни одна плата не считается уже имеющей ПО контейнера: имя %s не вида CRC32.upk "
            "(заглавные, без ведущих нулей)\n",
            cfg.s_BinContainer);
    }
}

void say_allowlist(Console& con, const CheckFacts& f, const CheckVerdict& v) {
    for (int n = 0; n < 4; ++n) {
        const EntryCheck& e = v.entries[n];
        if (e.set && !e.valid) {
            say(con, "Запись списка %s=%s: не шесть чисел, с AutoProg=1 станет 0.0.0.0.0.0\n",
                entry_key(n), f.cfg.*kEntryFields[n]);
        }
    }
    if (v.policy.zero_serial_listed) {
        say_line(con, "Пустые и неверные записи списка равны 0.0.0.0.0.0: плата с таким "
                      "сер. номером считается в списке");
    }
}

void say_policy(Console& con, const CheckFacts& f, const CheckVerdict& v) {
    say_boards(con, f.cfg, v.policy);
    say_allowlist(con, f, v);
    if (v.jump_acts_as_zero) {
        say(con, "AutoJumpApp=%u действует как 0: необновляемые платы игнорируются\n",
            f.cfg.app_jump_regime);
    }
    if (v.password_empty) {
        say_line(con, "Пароль образа пуст ([PASS] PassBinContainer пуст или 0): плата с паролем "
                      "образа его не примет");
    }
}

const char* journal_text(AppendAccess a) {
    switch (a) {
        case AppendAccess::append: return "файл есть, строки будут дописаны";
        case AppendAccess::create: return "файла нет, будет создан при старте сервера";
        case AppendAccess::no_folder: return "не откроется: папки нет";
        case AppendAccess::denied: return "не откроется: нет права записи";
        case AppendAccess::is_folder: return "не откроется: это папка";
    }
    return "";
}

void say_journal(Console& con, const CheckFacts& f) {
    if (f.cfg.s_Journal[0] == '\0') {
        say_line(con, "Журнал обновлений не ведется ([LOG] Journal пуст)");
        return;
    }
    say(con, "Журнал обновлений %s: %s\n", f.cfg.s_Journal, journal_text(f.journal));
}

void say_adapter(Console& con, const AdapterRecord& a) {
    say(con, "%s; %s\n", a.name, a.description);
    say(con, "MAC: %02X:%02X:%02X:%02X:%02X:%02X; IPv4:", a.mac[0], a.mac[1], a.mac[2], a.mac[3],
        a.mac[4], a.mac[5]);
    if (a.network_count == 0) say(con, " нет");
    for (size_t i = 0; i < a.network_count; ++i) {
        say(con, "%s %s/%s", i == 0 ? "" : ",", dotted(a.networks[i].address).c_str(),
            dotted(a.networks[i].mask).c_str());
    }
    say(con, "\n");
}

void say_adapters(Console& con, const CheckFacts& f) {
    say_line(con, "Адаптеры ПК:");
    if (f.adapters_query == AdapterQuery::out_of_memory) {
        say_line(con, "Нет памяти для списка адаптеров ПК");
        return;
    }
    if (f.adapters_query != AdapterQuery::ok) {
        say_line(con, "Адаптеры ПК не найдены или их список не получен");
        return;
    }
    bool networks = false;
    for (const AdapterRecord& a : f.adapters) {
        say_adapter(con, a);
        networks = networks || a.network_count > 0;
    }
    if (!networks) say_line(con, "Ни у одного адаптера нет адреса IPv4: команды платам не дойдут");
}

void say_port(Console& con, const PortFacts& p) {
    if (p.startup_error != 0) {
        say(con, "Порт UDP 5008 не проверен: библиотека сокетов не запущена (ошибка %d)\n",
            p.startup_error);
    } else if (!p.opened) {
        say(con, "Порт UDP 5008 не проверен: сокет не создан (ошибка %d)\n", p.error);
    } else if (!p.bound) {
        say(con, "Порт UDP 5008 занят другой программой или недоступен (ошибка %d): возможно, "
                 "сервер уже запущен\n", p.error);
    } else {
        say_line(con, "Порт UDP 5008 свободен");
    }
}

void say_reason(Console& con, const Settings& cfg, Reason r) {
    const char* name = cfg.s_BinContainer;
    switch (r) {
        case Reason::no_container_named:
            say_line(con, "- контейнер не задан ([FILE] BinContainer пуст)");
            break;
        case Reason::container_missing: say(con, "- контейнер %s не найден\n", name); break;
        case Reason::container_longer:
            say(con, "- контейнер %s отклонен: больше 122880 byte\n", name);
            break;
        case Reason::container_shorter:
            say(con, "- контейнер %s отклонен: меньше 122880 byte\n", name);
            break;
        case Reason::container_not_whole:
            say(con, "- контейнер %s прочитан не полностью\n", name);
            break;
        case Reason::container_name_differs:
            say(con, "- контейнер %s отклонен: CRC32 образа не совпадает с именем файла\n", name);
            break;
        case Reason::type_container:
            say(con, "- TypeContainer=%u: не 0, ни одна плата не обновляется\n",
                cfg.type_file_for_update);
            break;
        case Reason::never: say_line(con, "- AutoProg=0: обновление запрещено"); break;
        case Reason::no_valid_entry:
            say_line(con, "- AutoProg=1, но в списке NA..ND нет ни одной записи из шести чисел");
            break;
        case Reason::autoprog_other:
            say(con, "- AutoProg=%u: не 0..3, ни одна плата не обновляется\n",
                cfg.autoprog_regime);
            break;
    }
}

void say_outcome(Console& con, const Settings& cfg, const CheckVerdict& v) {
    if (v.exit_status == 0) {
        say(con, "Итог: с этой конфигурацией плата может быть обновлена%s\n",
            v.image == ImageVerdict::unchecked ? " (образ не проверен)" : "");
        return;
    }
    say_line(con, "Итог: с этой конфигурацией ни одна плата не будет обновлена:");
    for (size_t i = 0; i < v.reason_count; ++i) say_reason(con, cfg, v.reasons[i]);
}

void say_unreadable(Console& con, PathKind kind) {
    switch (kind) {
        case PathKind::missing:
            say_line(con, "\nФайл конфигурации не найден, проверка невозможна");
            break;
        case PathKind::folder:
            say_line(con, "\nФайл конфигурации - это папка, проверка невозможна");
            break;
        case PathKind::file:
            say_line(con, "\nФайл конфигурации не читается (нет доступа), проверка невозможна");
            break;
    }
}

}  // namespace

void say_check(Console& con, const CheckFacts& f, const CheckVerdict& v, BuildStamp build) {
    say_separator(con);
    say_line(con, "Проверка конфигурации: сервер не запускается, файлы не меняются");
    say_version(con, build);
    say_separator(con);
    say(con, "Конфигурация: %s ", f.path);
    if (!f.readable) {
        say_unreadable(con, f.kind);
        say_separator(con);
        return;
    }
    say_signature(con, f.cfg.id_ini_file);
    say_keys(con, f.cfg);
    say_separator(con);
    say_container(con, f, v);
    say_separator(con);
    say_policy(con, f, v);
    say_separator(con);
    say_journal(con, f);
    say_adapters(con, f);
    say_port(con, f.port);
    say_separator(con);
    say_outcome(con, f.cfg, v);
}

}  // namespace qd
