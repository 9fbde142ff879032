// The qd-server program as a technician starts it: exit codes and the bytes it writes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"
#include "support/text.hpp"

namespace {

using qd::test::to_utf8;

struct Outcome {
    std::string out;  // standard output, as bytes
    int status;       // exit status, or 128 + signal
};

Outcome run(const std::string& command) {
    Outcome r{{}, -1};
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}


std::string masked(std::string text) {
    text = std::regex_replace(text, std::regex(R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\])"), "[TIME]");
    return std::regex_replace(text, std::regex(R"(Сборка: \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d )"),
                              "Сборка: DATE ");
}

// A new, empty directory of this test's own.
std::filesystem::path fresh_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qd-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

const std::string kServer = QD_SERVER_EXE;
const std::string kSep = std::string(56, '-') + "\n";

TEST(ServerProcess, NoArgumentPrintsTheCloseBlock) {
    const Outcome r = run("QD_CONSOLE_CHARSET=cp1251 " + kServer);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kSep + "Start QD - no set config file as argument\nClose!\n" + kSep);
    const Outcome forced = run("QD_CONSOLE_CHARSET=utf-8 " + kServer + " a b");
    EXPECT_EQ(forced.status, 0);
    EXPECT_EQ(forced.out, r.out);  // ASCII only: the same in both charsets
}

TEST(ServerProcess, HelpAndVersion) {
    const Outcome help = run("QD_CONSOLE_CHARSET=utf-8 " + kServer + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("examples/qd-server.ini"), std::string::npos);
    EXPECT_NE(help.out.find("qd-server --report <журнал.csv> [<журнал.csv> ...]"),
              std::string::npos);
    EXPECT_NE(help.out.find("  --report  "), std::string::npos);
    EXPECT_EQ(run("QD_CONSOLE_CHARSET=utf-8 " + kServer + " -h").out, help.out);
    const Outcome version = run("QD_CONSOLE_CHARSET=utf-8 " + kServer + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(masked(version.out), "Версия ПО: 1.3A Сборка: DATE \n");
}

// The report on journals: its exit status says whether every board is done, some board is to
// be redone, or a file could not be read as a journal; the option counts only in first place.
TEST(ServerProcess, ReportExitStatus) {
    const auto dir = fresh_dir();
    ASSERT_FALSE(dir.empty());
    const std::string header =
        "time,serial,ip,hw,bootloader,crc_before,decision,result,crc_after,image,image_crc,"
        "duration_ms,commands,repeats\n";
    auto board = [](const char* time, const char* result) {
        return std::string(time) + ",0.128.225.1.2.9,198.18.0.4,1,1,7EF40B2C,update," + result +
               ",D718226B,D718226B.upk,D718226B,5702,1460,0\n";
    };
    std::ofstream(dir / "done.csv") << header << board("2026-12-10T13:06:31+03:00", "stalled")
                                    << board("2026-12-10T13:09:00+03:00", "updated");
    std::ofstream(dir / "redo.csv") << header << board("2026-12-10T12:00:00+01:00", "stalled");
    std::ofstream(dir / "notes.txt") << "shift 2\n";
    struct Case {
        std::string args;
        int status;
        std::string last_line;
    };
    const std::string unread = "Итог: отчёт неполный, не прочитано файлов: 1; переделать плат: 0\n";
    const Case cases[] = {
        {"--report done.csv", 0, "Итог: все платы готовы\n"},
        {"--report done.csv redo.csv", 1, "Итог: переделать плат: 1\n"},
        {"--report redo.csv done.csv", 1, "Итог: переделать плат: 1\n"},
        {"--report done.csv missing.csv", 2, unread},
        {"--report notes.txt", 2, unread},
        {"--report", 2, "Не указан журнал: qd-server --report <журнал.csv> [<журнал.csv> ...]\n"},
        {"done.csv --report", 0, "Close!\n" + kSep},
    };
    for (const Case& c : cases) {
        const Outcome r =
            run("cd " + dir.string() + " && QD_CONSOLE_CHARSET=cp1251 " + kServer + " " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out.find("\xD0\x9A"), std::string::npos) << "expected Windows-1251, not UTF-8";
        const std::string text = to_utf8(r.out);
        ASSERT_GE(text.size(), c.last_line.size()) << c.args;
        EXPECT_EQ(text.substr(text.size() - c.last_line.size()), c.last_line) << c.args << text;
    }
    std::filesystem::remove_all(dir);
}

// The example configuration, started in a copy of the examples folder and ended from outside.
TEST(ServerProcess, ExampleConfigurationStartsWithItsContainer) {
    const auto dir = fresh_dir();
    ASSERT_FALSE(dir.empty());
    for (const char* f : {"qd-server.ini", "D718226B.upk"}) {
        std::filesystem::copy_file(std::filesystem::path(QD_EXAMPLES_DIR) / f, dir / f);
    }
    // In a network namespace of its own: port 5008 is free there and only loopback exists. The
    // bytes the Windows program writes: Windows-1251.
    const Outcome r = run("cd " + dir.string() + " && QD_CONSOLE_CHARSET=cp1251 unshare -rn " +
                          "timeout -s TERM 1 " + kServer + " qd-server.ini");
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.status, 124);  // still running when ended
    EXPECT_EQ(r.out.find("\xD0\x9A"), std::string::npos) << "expected Windows-1251, not UTF-8";
    const std::string text = masked(to_utf8(r.out));
    const std::string start = "Старт сервера обновлений... \n";
    const size_t waiting = text.find(start) + start.size();
    ASSERT_NE(waiting, start.size() - 1);
    // Then the waiting line, counting passes from 0, each overwriting the one before.
    std::string expected_wait;
    for (int n = 0; expected_wait.size() < text.size() - waiting; ++n) {
        expected_wait += "Ожидание широковещательного сообщения от устройства: " +
                         std::to_string(n) + " \r";
    }
    EXPECT_EQ(text.substr(waiting), expected_wait);
    EXPECT_EQ(text.substr(0, waiting),
              kSep + "[TIME]\nСервер обновлений VELMORAN QD \nВерсия ПО: 1.3A Сборка: DATE \n" +
                  "Набор функций A - минимальный\nСтатус ПО: release\n" + kSep +
                  "Конфигурация: " + (dir / "qd-server.ini").string() + " \n" +
                  "Файл ini прочитан!\n" + kSep +
                  "Открываем .upk файл (D718226B.upk) размер файла: 122880 byte\n" +
                  "Прочитано в память: 122880 byte\n" +
                  "Проверка CRC32 (0x4c11DB7): D718226B \n" + kSep +
                  "Обновление ПО только для устройств с сер.N:\n" +
                  "0.128.225.1.2.255 \n0.0.0.0.0.0 \n0.0.0.0.0.0 \n0.0.0.0.0.0 \n" + kSep +
                  "Обнаружены ETH адаптеры:\n" + kSep + "Старт сервера обновлений... \n");
}

}  // namespace

namespace {

// Ended from outside by Ctrl+C or SIGTERM, the server leaves its output whole and port 5008
// free: a second server started right after binds it.
TEST(ServerProcess, EndedFromOutsideLeavesOutputWholeAndPortFree) {
    for (const char* sig : {"INT", "TERM"}) {
        const auto dir = fresh_dir();
        ASSERT_FALSE(dir.empty());
        std::ofstream(dir / "s.ini") << "[DEBUG]\nDebugPrint=1\n";
        const std::string script =
            "cd " + dir.string() + " && QD_CONSOLE_CHARSET=cp1251 timeout 20 unshare -rn sh -c " +
            "'timeout --preserve-status -s " +
            sig + " 0.5 " + kServer + " s.ini > first.txt; echo $? > status.txt; " +
            "timeout 0.5 " + kServer + " s.ini > second.txt; true'";
        ASSERT_EQ(std::system(script.c_str()), 0) << sig;
        std::ifstream status(dir / "status.txt");
        int code = 0;
        status >> code;
        EXPECT_EQ(code, 128 + (sig[0] == 'I' ? 2 : 15)) << sig;
        std::ifstream f1(dir / "first.txt", std::ios::binary);
        const std::string first{std::istreambuf_iterator<char>(f1), {}};
        std::ifstream f2(dir / "second.txt", std::ios::binary);
        const std::string second{std::istreambuf_iterator<char>(f2), {}};
        std::filesystem::remove_all(dir);
        const std::string text = to_utf8(first);
        const std::string wait_line = text.substr(text.rfind('\r', text.size() - 2) + 1);
        EXPECT_EQ(wait_line.rfind("Ожидание широковещательного сообщения от устройства: ", 0), 0u)
            << sig;
        EXPECT_EQ(first.back(), '\r') << sig;
        EXPECT_NE(second.find("Create soc rx ()\n"), std::string::npos) << sig;
        EXPECT_EQ(second.find("error bind rx"), std::string::npos) << sig;
    }
}

}  // namespace

namespace {

// --check tries a configuration and serves nothing: 0 when a board could be updated with it,
// 1 when none could (each reason named), 2 when the file cannot be read; the folder, soft.bin
// in it too, stays as it was. In a network namespace of its own, where port 5008 is free.
TEST(ServerProcess, CheckSaysWhetherABoardCouldBeUpdated) {
    const auto dir = fresh_dir();
    ASSERT_FALSE(dir.empty());
    for (const char* f : {"qd-server.ini", "D718226B.upk"}) {
        std::filesystem::copy_file(std::filesystem::path(QD_EXAMPLES_DIR) / f, dir / f);
    }
    std::ofstream(dir / "bad.ini") << "[DIRECTIVE]\nAutoProg=0\n[FILE]\nBinContainer=0BADC0DE.upk\n";
    std::ofstream(dir / "soft.bin") << "program";
    const qd::test::FolderSnapshot before = qd::test::folder_snapshot(dir);
    struct Case {
        const char* ini;
        int status;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"qd-server.ini", 0,
         {"Образ проверен: CRC32 совпадает с именем файла\n", "Порт UDP 5008 свободен\n",
          "Итог: с этой конфигурацией плата может быть обновлена\n"}},
        {"bad.ini", 1,
         {"Итог: с этой конфигурацией ни одна плата не будет обновлена:\n"
          "- контейнер 0BADC0DE.upk не найден\n- AutoProg=0: обновление запрещено\n"}},
        {"absent.ini", 2,
         {"Конфигурация: " + (dir / "absent.ini").string() +
          " \nФайл конфигурации не найден, проверка невозможна\n" + kSep}},
    };
    for (const Case& c : cases) {
        const Outcome r = run("cd " + dir.string() + " && QD_CONSOLE_CHARSET=utf-8 unshare -rn " +
                              kServer + " --check " + c.ini);
        EXPECT_EQ(r.status, c.status) << c.ini << "\n" << r.out;
        for (const std::string& line : c.lines) {
            EXPECT_NE(r.out.find(line), std::string::npos) << c.ini << ": " << line << "\n" << r.out;
        }
    }
    // Only "--check FILE" is the check: with a file more it is the notice of a wrong count.
    const Outcome more = run("cd " + dir.string() + " && QD_CONSOLE_CHARSET=utf-8 unshare -rn " +
                             kServer + " --check qd-server.ini bad.ini");
    EXPECT_EQ(more.status, 0);
    EXPECT_EQ(more.out, kSep + "Start QD - no set config file as argument\nClose!\n" + kSep);
    EXPECT_EQ(qd::test::folder_snapshot(dir), before);
    std::filesystem::remove_all(dir);
    EXPECT_NE(run("QD_CONSOLE_CHARSET=utf-8 " + kServer + " --help").out.find(
                  "  --check <файл.ini>\n"),
              std::string::npos);
}

// Run by a user who may neither write the folder nor read one of its files: the journal that
// could not be opened is named (the status stays 0), the unreadable file ends the check with 2.
TEST(ServerProcess, CheckAsAUserWithoutTheRights) {
    if (::geteuid() != 0) GTEST_SKIP() << "runs the check as another user: needs root";
    const auto dir = fresh_dir();
    ASSERT_FALSE(dir.empty());
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all |
                                          std::filesystem::perms::group_read |
                                          std::filesystem::perms::group_exec |
                                          std::filesystem::perms::others_read |
                                          std::filesystem::perms::others_exec);
    std::filesystem::copy_file(std::filesystem::path(QD_EXAMPLES_DIR) / "D718226B.upk",
                               dir / "D718226B.upk");
    const std::string ini = "[DIRECTIVE]\nAutoProg=2\n[FILE]\nBinContainer=D718226B.upk\n"
                            "[LOG]\nJournal=updates.csv\n";
    std::ofstream(dir / "j.ini") << ini;
    std::ofstream(dir / "secret.ini") << ini;
    std::filesystem::permissions(dir / "secret.ini", std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_write);
    const qd::test::FolderSnapshot before = qd::test::folder_snapshot(dir);
    const std::string as_nobody = "cd " + dir.string() +
                                  " && QD_CONSOLE_CHARSET=utf-8 unshare -n setpriv --reuid=65534 "
                                  "--regid=65534 --clear-groups -- " + kServer + " --check ";
    const Outcome journal = run(as_nobody + "j.ini");
    EXPECT_EQ(journal.status, 0) << journal.out;
    EXPECT_NE(journal.out.find("Журнал обновлений updates.csv: не откроется: нет права записи\n"),
              std::string::npos)
        << journal.out;
    const Outcome secret = run(as_nobody + "secret.ini");
    EXPECT_EQ(secret.status, 2) << secret.out;
    EXPECT_NE(secret.out.find("Файл конфигурации не читается (нет доступа), проверка невозможна\n"),
              std::string::npos)
        << secret.out;
    EXPECT_EQ(qd::test::folder_snapshot(dir), before);
    std::filesystem::remove_all(dir);
}

}  // namespace
