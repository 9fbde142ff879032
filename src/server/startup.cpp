// Start-up: the banner, the configuration, the image, the allowlist, the network and the journal.
#include <cstdio>
#include <cstdlib>

#include "container/container.hpp"
#include "platform/files.hpp"
#include "protocol/crc.hpp"
#include "protocol/serial.hpp"
#include "server/console/report.hpp"
#include "server/journal/journal.hpp"
#include "server/net/adapters.hpp"
#include "server/net/exchange.hpp"
#include "server/pass.hpp"
#include "server/server.hpp"

namespace qd {
namespace {

void say_no_argument(Console& con) {
    say_separator(con);
    say(con, "Start QD - ");
    say_line(con, "no set config file as argument");
    say_line(con, "Close!");
    say_separator(con);
}

void say_banner(Server& srv) {
    say_separator(srv.con);
    p_time(srv.con, srv.clock);
    say_line(srv.con, "\nСервер обновлений VELMORAN QD ");
    say_version(srv.con, srv.build);
    say_line(srv.con, "Набор функций A - минимальный");
    say_line(srv.con, "Статус ПО: release");
    say_separator(srv.con);
}

// The image is used only when it was read whole and its name does not say another CRC-32.
void load_image(Server& srv) {
    const bool read_whole = read_container(srv.con, srv.cfg.s_BinContainer, srv.img_bf) == 1;
    note_image(srv, read_whole);
    say_image_crc(srv.con, srv.image_crc);
    if (read_whole) {
        srv.image_loaded = verify_container_name(srv.con, srv.cfg.s_BinContainer, srv.image_crc);
    }
}

void build_allowlist(Server& srv) {
    Settings& cfg = srv.cfg;
    say_separator(srv.con);
    say_line(srv.con, "Обновление ПО только для устройств с сер.N:");
    for (int n = 0; n < 4; ++n) parse_serial(cfg.entry_text(n), cfg.entry_mac(n));
    for (int n = 0; n < 4; ++n) say(srv.con, "%s \n", serial_text(cfg.entry_mac(n)).c_str());
}

void open_network(Server& srv) {
    say_separator(srv.con);
    open_soc_rx(srv);
    say_line(srv.con, "Обнаружены ETH адаптеры:");
    getMAC(srv);
    say_separator(srv.con);
}

}  // namespace

// A typo in the shortcut's argument would otherwise only show as a wrong signature.
bool config_readable(const char* path) {
    std::FILE* f = open_file(path, "rb");
    if (f == nullptr) return false;
    static_cast<void>(std::fgetc(f));  // a folder opens, but does not read
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

void say_signature(Console& con, uint32_t id_ini_file) {
    if (id_ini_file == INI_SIGNATURE) {
        say_line(con, "\nФайл ini прочитан!");
    } else {
        say_line(con, "\nСигнатура INI файла не совпала, возможно файл поврежден");
    }
    say_separator(con);
}

void say_image_crc(Console& con, uint32_t crc) {
    say(con, "Проверка CRC32 (0x4c11DB7): %X \n", crc);
}

void note_image(Server& srv, bool loaded) {
    srv.image_loaded = loaded;
    srv.image_crc = fullcalk_crc32(srv.img_bf, IMAGE_SIZE, CRC32_POLY);
}

void say_version(Console& con, BuildStamp build) {
    say(con, "Версия ПО: 1.3A Сборка: %s %s \n", build.date, build.time);
}

void fatal_exit(Server& srv, int code) {
    journal_interrupted(srv);  // the dialogues the end cuts short keep their lines
    srv.exit_process(code);
    std::abort();
}

std::optional<int> start_server(Server& srv, int argc, const char* const* argv) {
    if (const int err = srv.net.startup(); err != 0) {
        say(srv.con, "WSAStartup (Winsock 2 (Ws2_32.dll)) failed with error: %d\n", err);
        return 0;
    }
    if (argc != 2) {
        say_no_argument(srv.con);
        srv.net.cleanup();
        return 0;
    }
    say_banner(srv);
    full_path(argv[1], srv.path, sizeof srv.path);
    say(srv.con, "Конфигурация: %s ", srv.path);
    if (!config_readable(srv.path)) {
        // Ended by the signature line's line feed.
        say(srv.con, "\nФайл конфигурации не найден или не читается, приняты значения по умолчанию");
    }
    read_settings(srv.path, srv.cfg);
    say_signature(srv.con, srv.cfg.id_ini_file);
    load_image(srv);
    if (srv.cfg.autoprog_regime == 1) build_allowlist(srv);
    open_network(srv);
    run_file_converter(srv.con, srv.clock);
    journal_open(srv);
    say_line(srv.con, "Старт сервера обновлений... ");
    return std::nullopt;
}

}  // namespace qd
