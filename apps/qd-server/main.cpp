// qd-server: the firmware update server. One argument, the INI file; or an option naming what
// else to do with the files after it.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ending.hpp"
#include "platform/system.hpp"
#include "platform/terminal.hpp"
#include "report/report_run.hpp"
#include "server/console/live_view.hpp"
#include "server/pass.hpp"
#include "server/server.hpp"

#include "server/check/check.hpp"

namespace {

constexpr qd::BuildStamp kBuild{__DATE__, __TIME__};

// The server's console: the live table under the lines when it is on.
qd::LiveView& live_view() {
    static qd::LiveView view(qd::system_console(), qd::system_terminal());
    return view;
}

// Ended from outside while it waits: the dialogues in progress are journalled, and what the
// live view keeps is drawn and the terminal set back, before the program ends.
void end_from_outside(void* server) {
    qd::journal_interrupted(*static_cast<qd::Server*>(server));
    live_view().finish();
}

[[noreturn]] void exit_process(int code) {
    live_view().finish();
    std::exit(code);
}

void say_usage(qd::Console& con) {
    qd::say_line(con, "qd-server - сервер обновления ПО устройств по Ethernet (UDP, порт 5008).");
    qd::say_line(con, "");
    qd::say_line(con, "Запуск:  qd-server <файл.ini>");
    qd::say_line(con, "         qd-server --check <файл.ini>");
    qd::say_line(con, "         qd-server --report <журнал.csv> [<журнал.csv> ...]");
    qd::say_line(con, "");
    qd::say_line(con, "Аргумент сервера - путь к INI-файлу конфигурации (абсолютный или");
    qd::say_line(con, "относительно рабочего каталога). Контейнер .upk и soft.bin ищутся в рабочем");
    qd::say_line(con, "каталоге. Пример конфигурации: examples/qd-server.ini.");
    qd::say_line(con, "");
    qd::say_line(con, "  -h, --help     эта справка");
    qd::say_line(con, "  --check <файл.ini>");
    qd::say_line(con, "                 проверка конфигурации и контейнера без запуска сервера:");
    qd::say_line(con, "                 ключи, контейнер, политика, журнал, адаптеры, порт 5008;");
    qd::say_line(con, "                 файлы не меняются. Код выхода: 0 - плата может быть");
    qd::say_line(con, "                 обновлена, 1 - нет (причины названы), 2 - файл не читается");
    qd::say_line(con, "  --version      версия программы");
    qd::say_line(con, "  --report       отчёт по журналам обновлений (CSV): итоги по результатам");
    qd::say_line(con, "                 и дням, платы для повторного обновления, повреждённые");
    qd::say_line(con, "                 строки. Код выхода: 0 - все платы готовы, 1 - есть");
    qd::say_line(con, "                 платы для повтора, 2 - файл не читается или не журнал");
}

// The forms of the command line beside the server's own: an option, then the files it takes.
struct Form {
    const char* option;
    int (*run)(qd::Console& con, const std::vector<std::string>& files);
};

constexpr Form kForms[] = {
    {"--report", qd::run_report},
};

// The exit status of the form that argv names, or nothing when it names none.
std::optional<int> run_form(qd::Console& con, int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    for (const Form& form : kForms) {
        if (std::strcmp(argv[1], form.option) != 0) continue;
        const std::vector<std::string> args = qd::utf8_arguments(argc, argv);
        return form.run(con, std::vector<std::string>(args.begin() + 2, args.end()));
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    qd::Console& con = qd::system_console();
    qd::Clock& clock = qd::system_clock();
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        say_usage(con);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
        const std::string ini = qd::utf8_arguments(argc, argv)[2];
        return qd::run_check({con, qd::system_net(), qd::system_adapters(), kBuild}, ini.c_str());
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        qd::say_version(con, kBuild);
        return 0;
    }
    if (const auto code = run_form(con, argc, argv)) return *code;
    const qd::Seams seams{live_view(), clock, qd::system_net(), qd::system_adapters(), exit_process};
    auto server = std::make_unique<qd::Server>(seams, kBuild);
    server->live = &live_view();
    qd::end_at_waits(end_from_outside, server.get());
    if (auto code = qd::start_server(*server, argc, argv)) return *code;
    for (;;) qd::pass(*server);
}
