// `qd-server --check`: configurations tried without serving, each with its exit status and the
// line that names why, the folder left as it was; the whole text of a good configuration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/ini.hpp"
#include "protocol/constants.hpp"
#include "server/check/check.hpp"
#include "server/check/judge.hpp"
#include "support/fakes.hpp"
#include "support/recording_console.hpp"
#include "support/temp_dir.hpp"

namespace qd {
namespace {

namespace fs = std::filesystem;

const std::string kSep = std::string(56, '-') + "\n";

std::vector<uint8_t> example_container() {
    return test::read_file(fs::path(QD_EXAMPLES_DIR) / "D718226B.upk");
}

// A configuration: its [DIRECTIVE] lines, its [FILE] lines, and more sections after them.
std::string ini_text(const std::string& directive,
                     const std::string& file = "BinContainer=D718226B.upk\n",
                     const std::string& more = "") {
    return "[DIRECTIVE]\n" + directive + "[FILE]\n" + file +
           "[PASS]\nPassBinContainer=1A2B3C4D\n[ID_INI_FILE]\nIdIniFile=136719067\n" + more;
}

class Check : public ::testing::Test {
protected:
    int check(const char* arg) {
        con.clear();
        return run_check({con, net, adapters, {"Jan  2 2026", "03:04:05"}}, arg);
    }

    std::string in_dir(const fs::path& name) const { return (dir.path() / name).string(); }

    test::TempWorkDir dir;
    RecordingConsole con;
    test::FakeNet net;
    test::FakeAdapters adapters;
};

// Each configuration's exit status and the line that says why; soft.bin beside it stays
// soft.bin, and nothing in the folder changes, whatever the check finds.
TEST_F(Check, EachConfigurationItsStatusAndReasonAndTheFolderUnchanged) {
    const std::vector<uint8_t> good = example_container();
    ASSERT_EQ(good.size(), IMAGE_SIZE);
    std::vector<uint8_t> damaged = good;
    damaged[4000] ^= 0x10;
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    const std::vector<uint8_t> cut(good.begin(), good.begin() + 65536);
    struct Case {
        const char* what;
        std::string ini;                 // empty: check.ini is not there
        const char* container;           // written with `bytes`; nullptr: none
        std::vector<uint8_t> bytes;
        const char* extra;               // a folder made beside, or a file (ending in .csv)
        bool port_held;
        int status;
        std::vector<std::string> lines;  // whole lines of the text
    };
    const std::string updated = "Итог: с этой конфигурацией плата может быть обновлена";
    const std::string none = "Итог: с этой конфигурацией ни одна плата не будет обновлена:";
    const Case cases[] = {
        {"a good configuration", ini_text("AutoProg=2\n"), "D718226B.upk", good, nullptr, false,
         0, {"Образ проверен: CRC32 совпадает с именем файла", updated}},
        {"no such file", "", nullptr, {}, nullptr, false, 2,
         {"Файл конфигурации не найден, проверка невозможна"}},
        {"a folder", "", nullptr, {}, "check.ini", false, 2,
         {"Файл конфигурации - это папка, проверка невозможна"}},
        {"no container named", ini_text("AutoProg=2\n", ""), nullptr, {}, nullptr, false, 1,
         {"Контейнер не задан ([FILE] BinContainer пуст)", none,
          "- контейнер не задан ([FILE] BinContainer пуст)"}},
        {"the container not there", ini_text("AutoProg=2\n"), nullptr, {}, nullptr, false, 1,
         {"Cannot open .upk file (D718226B.upk)", none, "- контейнер D718226B.upk не найден"}},
        {"a cut container", ini_text("AutoProg=2\n"), "D718226B.upk", cut, nullptr, false, 1,
         {"Размер файла меньше 122880 byte, файл не загружен",
          "- контейнер D718226B.upk отклонен: меньше 122880 byte"}},
        {"a container too long", ini_text("AutoProg=2\n"), "D718226B.upk", longer, nullptr,
         false, 1, {"- контейнер D718226B.upk отклонен: больше 122880 byte"}},
        {"a damaged container", ini_text("AutoProg=2\n"), "D718226B.upk", damaged, nullptr,
         false, 1,
         {"CRC32 образа не совпадает с именем файла, файл не загружен",
          "- контейнер D718226B.upk отклонен: CRC32 образа не совпадает с именем файла"}},
        {"a name of another form", ini_text("AutoProg=2\n", "BinContainer=line2.upk\n"),
         "line2.upk", good, nullptr, false, 0,
         {"Имя файла не является CRC32 образа, образ не проверен",
          updated + " (образ не проверен)"}},
        {"TypeContainer not 0", ini_text("AutoProg=2\n", "BinContainer=D718226B.upk\nTypeContainer=1\n"),
         "D718226B.upk", good, nullptr, false, 1,
         {none, "- TypeContainer=1: не 0, ни одна плата не обновляется"}},
        {"AutoProg=0", ini_text("AutoProg=0\n"), "D718226B.upk", good, nullptr, false, 1,
         {none, "- AutoProg=0: обновление запрещено"}},
        {"AutoProg=4", ini_text("AutoProg=4\n"), "D718226B.upk", good, nullptr, false, 1,
         {none, "- AutoProg=4: не 0..3, ни одна плата не обновляется"}},
        {"AutoProg=258 is 2", ini_text("AutoProg=258\n"), "D718226B.upk", good, nullptr, false,
         0, {"[DIRECTIVE] AutoProg=2", updated}},
        {"AutoProg=3", ini_text("AutoProg=3\n"), "D718226B.upk", good, nullptr, false, 0,
         {updated}},
        {"AutoProg=1 and a valid entry", ini_text("AutoProg=1\n", "BinContainer=D718226B.upk\n",
                                                  "[DEVICE]\nNA=1.2.3.4.5.6\nNB=1.2.3\n"),
         "D718226B.upk", good, nullptr, false, 0,
         {"Запись списка NB=1.2.3: не шесть чисел, с AutoProg=1 станет 0.0.0.0.0.0", updated}},
        {"AutoProg=1 and no valid entry",
         ini_text("AutoProg=1\n", "BinContainer=D718226B.upk\n",
                  "[DEVICE]\nNA=0.128.225.1.2\nND=serial\n"),
         "D718226B.upk", good, nullptr, false, 1,
         {"Запись списка NA=0.128.225.1.2: не шесть чисел, с AutoProg=1 станет 0.0.0.0.0.0",
          "Запись списка ND=serial: не шесть чисел, с AutoProg=1 станет 0.0.0.0.0.0", none,
          "- AutoProg=1, но в списке NA..ND нет ни одной записи из шести чисел"}},
        {"no container and AutoProg=0", ini_text("AutoProg=0\n"), nullptr, {}, nullptr, false, 1,
         {none, "- контейнер D718226B.upk не найден", "- AutoProg=0: обновление запрещено"}},
        {"port 5008 held", ini_text("AutoProg=2\n"), "D718226B.upk", good, nullptr, true, 0,
         {"Порт UDP 5008 занят другой программой или недоступен (ошибка 98): возможно, сервер "
          "уже запущен",
          updated}},
        {"a journal in a folder not there",
         ini_text("AutoProg=2\n", "BinContainer=D718226B.upk\n", "[LOG]\nJournal=logs/j.csv\n"),
         "D718226B.upk", good, nullptr, false, 0,
         {"Журнал обновлений logs/j.csv: не откроется: папки нет", updated}},
        {"a journal that is a folder",
         ini_text("AutoProg=2\n", "BinContainer=D718226B.upk\n", "[LOG]\nJournal=logs\n"),
         "D718226B.upk", good, "logs", false, 0,
         {"Журнал обновлений logs: не откроется: это папка"}},
        {"a journal there already",
         ini_text("AutoProg=2\n", "BinContainer=D718226B.upk\n", "[LOG]\nJournal=j.csv\n"),
         "D718226B.upk", good, "j.csv", false, 0,
         {"Журнал обновлений j.csv: файл есть, строки будут дописаны"}},
        {"a journal to be made",
         ini_text("AutoProg=2\n", "BinContainer=D718226B.upk\n", "[LOG]\nJournal=new.csv\n"),
         "D718226B.upk", good, nullptr, false, 0,
         {"Журнал обновлений new.csv: файла нет, будет создан при старте сервера"}},
        {"the signature and password missing", "[DIRECTIVE]\nAutoProg=2\n[FILE]\nBinContainer=D718226B.upk\n",
         "D718226B.upk", good, nullptr, false, 0,
         {"Сигнатура INI файла не совпала, возможно файл поврежден",
          "Пароль образа пуст ([PASS] PassBinContainer пуст или 0): плата с паролем образа его "
          "не примет",
          updated}},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir.path() / "case");
        fs::create_directory(dir.path() / "case");
        fs::current_path(dir.path() / "case");
        test::write_file("soft.bin", {1, 2, 3});
        if (!c.ini.empty()) test::write_text("check.ini", c.ini);
        if (c.container != nullptr) test::write_file(c.container, c.bytes);
        if (c.extra != nullptr && fs::path(c.extra).extension() == ".csv") {
            test::write_text(c.extra, "time,serial\n");
        } else if (c.extra != nullptr) {
            fs::create_directory(c.extra);
        }
        net.fail_bind = c.port_held;
        const test::FolderSnapshot before = test::folder_snapshot(".");
        EXPECT_EQ(check("check.ini"), c.status) << c.what << "\n" << con.text();
        EXPECT_EQ(test::folder_snapshot("."), before) << c.what;
        for (const std::string& line : c.lines) {
            EXPECT_NE(("\n" + con.text()).find("\n" + line + "\n"), std::string::npos)
                << c.what << ": " << line << "\n" << con.text();
        }
        fs::current_path(dir.path());
    }
}

// What the policy comes to for each kind of board, in the decision's own terms.
TEST_F(Check, ThePolicyForEachKindOfBoard) {
    test::write_file("D718226B.upk", example_container());
    test::write_file("d718226b.upk", example_container());
    struct Case {
        std::string ini;
        std::string words;  // the lines after the policy's heading
    };
    const std::string same = "Плата, на которой уже ПО контейнера (CRC32 D718226B): ";
    const Case cases[] = {
        {ini_text("AutoProg=2\nAutoJumpApp=1\n"),
         "Плата с другим ПО: обновляется\n" + same +
             "не обновляется, переводится в приложение (CMD_JUMP_TO_APP)\n"},
        {ini_text("AutoProg=3\n"),
         "Плата с другим ПО: обновляется\n" + same +
             "обновляется повторно (Внимание! Выполняйте только однократно!)\n"},
        {ini_text("AutoProg=0\nAutoJumpApp=7\n"),
         "Плата с другим ПО: не обновляется, игнорируется\n" + same +
             "не обновляется, игнорируется\nAutoJumpApp=7 действует как 0: необновляемые платы "
             "игнорируются\n"},
        {ini_text("AutoProg=1\n", "BinContainer=D718226B.upk\n",
                  "[DEVICE]\nNA=1.2.3.4.5.6\nNB=1.2.3.4.5.7\nNC=1.2.3.4.5.8\nND=1.2.3.4.5.9\n"),
         "Плата с другим ПО, сер. номер в списке: обновляется\n"
         "Плата с другим ПО, сер. номер не в списке: не обновляется, игнорируется\n" +
             same + "не обновляется, игнорируется\n"},
        {ini_text("AutoProg=2\n", "BinContainer=absent.upk\n"),
         "Плата с другим ПО: подлежит обновлению, но образ не загружен: не обновляется, "
         "игнорируется\nНи одна плата не считается уже имеющей ПО контейнера: имя absent.upk не "
         "вида CRC32.upk (заглавные, без ведущих нулей)\n"},
        {ini_text("AutoProg=2\n", "BinContainer=d718226b.upk\n"),
         "Плата с другим ПО: обновляется\nНи одна плата не считается уже имеющей ПО контейнера: "
         "имя d718226b.upk не вида CRC32.upk (заглавные, без ведущих нулей)\n"},
        {ini_text("AutoProg=2\nAutoJumpApp=1\n", "BinContainer=D718226B.upk\nTypeContainer=2\n"),
         "Любая плата: не обновляется, переводится в приложение (CMD_JUMP_TO_APP)\n"},
    };
    for (const Case& c : cases) {
        test::write_text("p.ini", c.ini);
        check("p.ini");
        const std::string& text = con.text();
        const size_t heading = text.find("Политика обновления (");
        ASSERT_NE(heading, std::string::npos) << text;
        const size_t from = text.find('\n', heading) + 1;
        EXPECT_EQ(text.substr(from, text.find(kSep, from) - from), c.words) << c.ini;
    }
}

// The example configuration beside its container and a soft.bin, with two adapters: every line.
TEST_F(Check, TheWholeTextOfTheExampleConfiguration) {
    fs::copy_file(fs::path(QD_EXAMPLES_DIR) / "qd-server.ini", "qd-server.ini");
    test::write_file("D718226B.upk", example_container());
    test::write_file("soft.bin", {1, 2, 3});
    AdapterRecord eth;
    std::snprintf(eth.name, sizeof eth.name, "eth0");
    std::snprintf(eth.description, sizeof eth.description, "Intel(R) Ethernet");
    const uint8_t mac[6] = {0x02, 0x51, 0x44, 0x00, 0x00, 0x01};
    std::copy(mac, mac + 6, eth.mac);
    eth.add_network(0xC6120001, 0xFFFFFF00);  // 198.18.0.1/24
    eth.add_network(0x0A010203, 0xFF000000);  // 10.1.2.3/8
    AdapterRecord wifi;
    std::snprintf(wifi.name, sizeof wifi.name, "wlan0");
    std::snprintf(wifi.description, sizeof wifi.description, "Wireless");
    adapters.result = AdapterQuery::ok;
    adapters.records = {eth, wifi};

    EXPECT_EQ(check("qd-server.ini"), 0);
    EXPECT_EQ(con.text(),
              kSep + "Проверка конфигурации: сервер не запускается, файлы не меняются\n" +
                  "Версия ПО: 1.3A Сборка: Jan  2 2026 03:04:05 \n" + kSep +
                  "Конфигурация: " + in_dir("qd-server.ini") + " \n" +
                  "Файл ini прочитан!\n" + kSep +
                  "Ключи INI (значение, как его примет сервер):\n"
                  "[DEVICE] NA=0.128.225.1.2.255\n"
                  "[DEVICE] NB= (по умолчанию)\n"
                  "[DEVICE] NC= (по умолчанию)\n"
                  "[DEVICE] ND= (по умолчанию)\n"
                  "[DEBUG] DebugPrint=0 (по умолчанию)\n"
                  "[DIRECTIVE] AutoProg=1\n"
                  "[DIRECTIVE] AutoJumpApp=0 (по умолчанию)\n"
                  "[DIRECTIVE] DelayWrite=10 (по умолчанию)\n"
                  "[DIRECTIVE] DelayFrames=100 (по умолчанию)\n"
                  "[FILE] BinContainer=D718226B.upk\n"
                  "[FILE] CryptContainer= (по умолчанию)\n"
                  "[FILE] TypeContainer=0 (по умолчанию)\n"
                  "[PASS] PassBinContainer=1A2B3C4D\n"
                  "[ID_INI_FILE] IdIniFile=136719067\n"
                  "[DIRECTIVE] ReplyPaced=0 (по умолчанию)\n"
                  "[DIRECTIVE] VerifyFlash=1 (по умолчанию)\n"
                  "[DIRECTIVE] StallTimeout=60 (по умолчанию)\n"
                  "[LOG] Journal= (по умолчанию)\n"
                  "[DIRECTIVE] Parallel=0 (по умолчанию)\n"
                  "[DIRECTIVE] LiveView=1 (по умолчанию)\n" +
                  kSep + "Контейнер:\n" +
                  "Открываем .upk файл (D718226B.upk) размер файла: 122880 byte\n"
                  "Прочитано в память: 122880 byte\n"
                  "Проверка CRC32 (0x4c11DB7): D718226B \n"
                  "Образ проверен: CRC32 совпадает с именем файла\n" +
                  kSep + "Политика обновления (TypeContainer=0, AutoProg=1, AutoJumpApp=0):\n" +
                  "Плата с другим ПО, сер. номер в списке: обновляется\n"
                  "Плата с другим ПО, сер. номер не в списке: не обновляется, игнорируется\n"
                  "Плата, на которой уже ПО контейнера (CRC32 D718226B): не обновляется, "
                  "игнорируется\n"
                  "Пустые и неверные записи списка равны 0.0.0.0.0.0: плата с таким сер. номером "
                  "считается в списке\n" +
                  kSep + "Журнал обновлений не ведется ([LOG] Journal пуст)\n" +
                  "Адаптеры ПК:\n"
                  "eth0; Intel(R) Ethernet\n"
                  "MAC: 02:51:44:00:00:01; IPv4: 198.18.0.1/255.255.255.0, 10.1.2.3/255.0.0.0\n"
                  "wlan0; Wireless\n"
                  "MAC: 00:00:00:00:00:00; IPv4: нет\n"
                  "Порт UDP 5008 свободен\n" +
                  kSep + "Итог: с этой конфигурацией плата может быть обновлена\n");
    // Port 5008 bound on the socket opened for it, that socket closed, the library stopped.
    ASSERT_EQ(net.binds.size(), 1u);
    EXPECT_EQ(net.binds[0].second, UPDATE_PORT);
    EXPECT_EQ(net.closed, std::vector<int>{net.binds[0].first});
    EXPECT_EQ(net.cleanups, 1);
    EXPECT_TRUE(net.sent.empty());
}

// Adapters that cannot be listed, or none with an IPv4 address, are said.
TEST_F(Check, AdaptersThatCannotServeAreSaid) {
    test::write_text("a.ini", ini_text("AutoProg=2\n"));
    struct Case {
        AdapterQuery result;
        bool listed;
        const char* line;
    };
    const Case cases[] = {
        {AdapterQuery::failed, false, "Адаптеры ПК не найдены или их список не получен\n"},
        {AdapterQuery::out_of_memory, false, "Нет памяти для списка адаптеров ПК\n"},
        {AdapterQuery::ok, true,
         "MAC: 00:00:00:00:00:00; IPv4: нет\n"
         "Ни у одного адаптера нет адреса IPv4: команды платам не дойдут\n"},
    };
    for (const Case& c : cases) {
        adapters.result = c.result;
        adapters.records = c.listed ? std::vector<AdapterRecord>(1) : std::vector<AdapterRecord>{};
        check("a.ini");
        EXPECT_NE(con.text().find("Адаптеры ПК:\n"), std::string::npos);
        EXPECT_NE(con.text().find(c.line), std::string::npos) << con.text();
    }
}

// Every key left out is at its default; every key given another value is not. The values are
// made from the key table, as the check lists it.
TEST(CheckKeys, DefaultsAsTheKeyTableGivesThem) {
    test::TempWorkDir dir;
    Settings absent;
    read_settings("absent.ini", absent);
    std::map<std::string, std::string> sections;
    for (const IniKey& k : INI_KEYS) {
        EXPECT_TRUE(ini_at_default(k, absent)) << k.key;
        const char* other = "7";
        if (k.rule == IniRule::IsOne || k.rule == IniRule::DebugVerbose ||
            k.rule == IniRule::DebugTrace) {
            other = "1";
        } else if (k.rule == IniRule::NotZero) {
            other = "0";
        }
        sections[k.section] += std::string(k.key) + "=" + other + "\n";
    }
    std::string text;
    for (const auto& [section, keys] : sections) text += "[" + section + "]\n" + keys;
    test::write_text("other.ini", text);
    Settings set;
    read_settings("other.ini", set);
    for (const IniKey& k : INI_KEYS) {
        EXPECT_FALSE(ini_at_default(k, set)) << k.key << "=" << ini_value_text(k, set);
    }
}

}  // namespace
}  // namespace qd
