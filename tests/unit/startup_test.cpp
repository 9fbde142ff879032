// Start-up transcripts, from the command line to the start of the loop.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>

#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "server/server.hpp"
#include "support/fakes.hpp"
#include "support/temp_dir.hpp"

namespace qd {
namespace {

const std::string kSep = std::string(56, '-') + "\n";

const std::string kBanner = kSep +
                            "[05/03/2026 09:08:07]\n"
                            "Сервер обновлений VELMORAN QD \n"
                            "Версия ПО: 1.3A Сборка: Jan  2 2026 03:04:05 \n"
                            "Набор функций A - минимальный\n"
                            "Статус ПО: release\n" +
                            kSep;

const std::string kAdapters = kSep + "Обнаружены ETH адаптеры:\n" + kSep;

const std::string kFullIni =
    "[DEVICE]\nNA=10.20.30.40.50.60\n"
    "[DEBUG]\nDebugPrint=0\n"
    "[DIRECTIVE]\nAutoProg=1\nAutoJumpApp=0\nDelayWrite=10\nDelayFrames=100\n"
    "[FILE]\nBinContainer=7A0FC95A.upk\nCryptContainer=\nTypeContainer=0\n"
    "[PASS]\nPassBinContainer=12345678\n"
    "[ID_INI_FILE]\nIdIniFile=136719067\n";

class StartUp : public ::testing::Test {
protected:
    std::optional<int> start(std::initializer_list<const char*> args) {
        std::vector<const char*> argv{"qd-server"};
        argv.insert(argv.end(), args);
        return start_server(*t.srv, static_cast<int>(argv.size()), argv.data());
    }

    // The full path of a file in the working directory, as the system writes it.
    std::string in_dir(const std::filesystem::path& name) const {
        return (dir.path() / name).string();
    }

    test::TempWorkDir dir;
    test::TestServer t;
    RecordingConsole& con = t.con;
    std::unique_ptr<Server>& server = t.srv;
};

TEST_F(StartUp, WrongArgumentCountEndsWithTheCloseBlock) {
    const std::string block = kSep + "Start QD - no set config file as argument\nClose!\n" + kSep;
    EXPECT_EQ(start({}), 0);
    EXPECT_EQ(con.text(), block);
    con.clear();
    EXPECT_EQ(start({"a.ini", "b.ini"}), 0);
    EXPECT_EQ(con.text(), block);
}

TEST_F(StartUp, SocketLibraryFailureEndsAtOnce) {
    t.net.startup_error = 10091;
    EXPECT_EQ(start({"qd.ini"}), 0);
    EXPECT_EQ(con.text(), "WSAStartup (Winsock 2 (Ws2_32.dll)) failed with error: 10091\n");
    EXPECT_EQ(t.net.cleanups, 0);
}

TEST_F(StartUp, WrongArgumentCountStopsTheSocketLibrary) {
    EXPECT_EQ(start({}), 0);
    EXPECT_EQ(t.net.cleanups, 1);
    EXPECT_TRUE(t.net.binds.empty());
}

TEST_F(StartUp, MissingIniFileTakesEveryDefault) {
    EXPECT_EQ(start({"absent.ini"}), std::nullopt);
    EXPECT_EQ(con.text(), kBanner + "Конфигурация: " + in_dir("absent.ini") + " \n" +
                              "Файл конфигурации не найден или не читается, приняты значения по "
                              "умолчанию\n"
                              "Сигнатура INI файла не совпала, возможно файл поврежден\n" + kSep +
                              "Cannot open .upk file ()\n"
                              "Проверка CRC32 (0x4c11DB7): 5F288CC9 \n" +
                              kAdapters + "Старт сервера обновлений... \n");
    EXPECT_FALSE(server->image_loaded);
    EXPECT_EQ(server->cfg.delay_steps, 100);
}

// A configuration that is there but cannot be read is said as one that is missing; an empty
// one is read (every key takes its default, as the signature line says).
TEST_F(StartUp, UnreadableIniIsSaidBeforeTheSignature) {
    std::filesystem::create_directory("folder.ini");
    test::write_text("empty.ini", "");
    const std::string unreadable =
        "Файл конфигурации не найден или не читается, приняты значения по умолчанию\n";
    for (const char* name : {"folder.ini", "empty.ini"}) {
        con.clear();
        t.renew();
        EXPECT_EQ(start({name}), std::nullopt);
        const bool said = std::string(name) == "folder.ini";
        EXPECT_NE(con.text().find("Конфигурация: " + in_dir(name) + " \n" +
                                  (said ? unreadable : "") +
                                  "Сигнатура INI файла не совпала, возможно файл поврежден\n"),
                  std::string::npos)
            << name << "\n" << con.text();
    }
}

TEST_F(StartUp, FullIniWithAllowlistAndContainer) {
    test::write_text("qd.ini", kFullIni);
    std::vector<uint8_t> image(IMAGE_SIZE);
    for (size_t p = 0; p < IMAGE_SIZE; ++p) image[p] = p % 2 ? 0xE3 : 0x39;
    image[0] = 'a', image[1] = 'b', image[2] = 'c';
    test::write_file("7A0FC95A.upk", image);

    EXPECT_EQ(start({"qd.ini"}), std::nullopt);
    EXPECT_EQ(con.text(), kBanner + "Конфигурация: " + in_dir("qd.ini") + " \n" +
                              "Файл ini прочитан!\n" + kSep +
                              "Открываем .upk файл (7A0FC95A.upk) размер файла: 122880 byte\n"
                              "Прочитано в память: 122880 byte\n"
                              "Проверка CRC32 (0x4c11DB7): 7A0FC95A \n" +
                              kSep +
                              "Обновление ПО только для устройств с сер.N:\n"
                              "10.20.30.40.50.60 \n0.0.0.0.0.0 \n0.0.0.0.0.0 \n0.0.0.0.0.0 \n" +
                              kAdapters + "Старт сервера обновлений... \n");
    EXPECT_TRUE(server->image_loaded);
    EXPECT_EQ(std::vector<uint8_t>(server->img_bf, server->img_bf + IMAGE_SIZE), image);
    const uint8_t expected_mac[6] = {10, 20, 30, 40, 50, 60};
    EXPECT_EQ(0, std::memcmp(server->cfg.rmac0, expected_mac, 6));
    EXPECT_EQ(server->cfg.bin_pass, 0x12345678u);
}

// An image reaches a board only when its container is whole and its name, where it is a CRC-32,
// is the image's: a cut copy, a damaged byte or a wrong label leaves no image loaded (the
// decision then flashes no board); a name of another form loads the image, said unchecked.
TEST_F(StartUp, TheContainerIsHeldAgainstItsSizeAndName) {
    const std::vector<uint8_t> good = test::read_file(std::filesystem::path(QD_EXAMPLES_DIR) /
                                                      "D718226B.upk");
    ASSERT_EQ(good.size(), IMAGE_SIZE);
    std::vector<uint8_t> damaged = good;
    damaged[70000] ^= 0x01;
    const uint32_t damaged_crc = fullcalk_crc32(damaged.data(), IMAGE_SIZE, CRC32_POLY);
    auto cut = [&](long n) { return std::vector<uint8_t>(good.begin(), good.begin() + n); };
    char crc_line[64];
    std::snprintf(crc_line, sizeof crc_line, "Проверка CRC32 (0x4c11DB7): %X \n", damaged_crc);
    const std::string zero_crc = "Проверка CRC32 (0x4c11DB7): 5F288CC9 \n";
    const std::string good_crc = "Проверка CRC32 (0x4c11DB7): D718226B \n";
    const std::string shorter = "Размер файла меньше 122880 byte, файл не загружен\n";
    const std::string read = "Прочитано в память: 122880 byte\n";
    const std::string differs = "CRC32 образа не совпадает с именем файла, файл не загружен\n";
    struct Case {
        const char* what;
        const char* name;
        std::vector<uint8_t> bytes;
        std::string lines;  // after the opening line's "размер файла: "
        bool loaded;
    };
    const Case cases[] = {
        {"a cut copy", "D718226B.upk", cut(65536), "65536 byte\n" + shorter + zero_crc, false},
        {"an empty file", "D718226B.upk", {}, "0 byte\n" + shorter + zero_crc, false},
        {"one byte short", "D718226B.upk", cut(long{IMAGE_SIZE} - 1),
         "122879 byte\n" + shorter + zero_crc, false},
        {"a damaged byte", "D718226B.upk", damaged,
         "122880 byte\n" + read + crc_line + differs, false},
        {"a wrong label", "1419D4D7.upk", good, "122880 byte\n" + read + good_crc + differs, false},
        {"a label in lower case", "d718226b.UPK", good, "122880 byte\n" + read + good_crc, true},
        {"a name of another form", "line2-fw.upk", good,
         "122880 byte\n" + read + good_crc +
             "Имя файла не является CRC32 образа, образ не проверен\n",
         true},
    };
    for (const Case& c : cases) {
        con.clear();
        t.renew();
        std::filesystem::remove_all("fw");
        std::filesystem::create_directory("fw");
        test::write_file(std::filesystem::path("fw") / c.name, c.bytes);
        const std::string name = std::string("fw/") + c.name;
        test::write_text("qd.ini", "[FILE]\nBinContainer=" + name +
                                       "\n[ID_INI_FILE]\nIdIniFile=136719067\n");
        EXPECT_EQ(start({"qd.ini"}), std::nullopt);
        EXPECT_EQ(con.text(), kBanner + "Конфигурация: " + in_dir("qd.ini") + " \n" +
                                  "Файл ini прочитан!\n" + kSep + "Открываем .upk файл (" +
                                  name + ") размер файла: " + c.lines + kAdapters +
                                  "Старт сервера обновлений... \n")
            << c.what;
        EXPECT_EQ(server->image_loaded, c.loaded) << c.what;
    }
}

TEST_F(StartUp, RelativePathIsPrintedInFullNormalisedForm) {
    std::filesystem::create_directories("cfg/sub");
    test::write_text("cfg/qd.ini", "[ID_INI_FILE]\nIdIniFile=136719067\n");
    EXPECT_EQ(start({"cfg/sub/.././/qd.ini"}), std::nullopt);
    EXPECT_NE(con.text().find("Конфигурация: " + in_dir(std::filesystem::path("cfg") / "qd.ini") +
                                    " \nФайл ini прочитан!\n"),
              std::string::npos);
}

TEST_F(StartUp, AllowlistOnlyForAutoProgOne) {
    test::write_text("qd.ini", "[DEVICE]\nNA=1.2.3.4.5.6\n[DIRECTIVE]\nAutoProg=2\n");
    start({"qd.ini"});
    EXPECT_EQ(con.text().find("сер.N"), std::string::npos);
    EXPECT_EQ(server->cfg.rmac0[0], 0);
}

TEST_F(StartUp, ConvertsSoftBinAfterTheAdapters) {
    test::write_file("soft.bin", {});
    start({"absent.ini"});
    const std::string tail = kAdapters + "Open file soft.bin , size: 0; read: 0;\n";
    EXPECT_NE(con.text().find(tail), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists("1419D4D7.upk"));
}

// Of start-up's own lines, only the receive socket's depends on the level (the levels
// themselves: settings_test).
TEST_F(StartUp, ReceiveSocketLineOnlyAtTheVerboseLevels) {
    for (const char* level : {"1", "2", "3"}) {
        con.clear();
        t.renew();
        test::write_text("d.ini", std::string("[DEBUG]\nDebugPrint=") + level + "\n");
        start({"d.ini"});
        EXPECT_EQ(con.text(), kBanner + "Конфигурация: " + in_dir("d.ini") + " \n" +
                                  "Сигнатура INI файла не совпала, возможно файл поврежден\n" +
                                  kSep + "Cannot open .upk file ()\n"
                                  "Проверка CRC32 (0x4c11DB7): 5F288CC9 \n" + kSep +
                                  (level[0] == '3' ? "" : "Create soc rx ()\n") +
                                  "Обнаружены ETH адаптеры:\n" + kSep +
                                  "Старт сервера обновлений... \n")
            << level;
    }
}

}  // namespace
}  // namespace qd
