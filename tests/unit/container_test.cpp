// Loading containers and converting soft.bin, with the console of each case.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "container/container.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "support/recording_console.hpp"
#include "support/temp_dir.hpp"
#include "support/virtual_clock.hpp"

namespace qd {
namespace {

using test::list_dir;
using test::read_file;
using test::write_file;

const std::string kSeparator(56, '-');

class Converter : public ::testing::Test {
protected:
    int8_t convert() { return run_file_converter(con, clock); }

    test::TempWorkDir dir;
    RecordingConsole con;
    VirtualClock clock;
};

std::vector<uint8_t> fill_after(std::vector<uint8_t> program) {
    for (size_t p = program.size(); p < IMAGE_SIZE; ++p) program.push_back(p % 2 ? 0xE3 : 0x39);
    return program;
}

TEST_F(Converter, EmptySoftBinGivesTheFillAloneInThreeLines) {
    write_file("soft.bin", {});
    EXPECT_EQ(convert(), 1);
    EXPECT_EQ(con.text(),
              "Open file soft.bin , size: 0; read: 0;\n"
              "Create .upk file : 122880 byte; test read: 122880; CRC32 (0x4c11DB7): 1419D4D7;  "
              "End process.\n" + kSeparator + "\n");
    EXPECT_EQ(list_dir("."), (std::vector<std::string>{"1419D4D7.upk", "soft.obin"}));
    EXPECT_EQ(read_file("1419D4D7.upk"), fill_after({}));
    EXPECT_EQ(clock.slept_ms(), 1u);
}

// The container's name is the CRC of all its bytes: the program, then the fill by offset (0x39
// at an even one, 0xE3 at an odd one), checked byte by byte at the seam.
TEST_F(Converter, NamesFollowTheCrcOfTheWholeContainer) {
    struct Case {
        std::vector<uint8_t> program;
        const char* name;
        std::vector<uint8_t> head;  // the container's first bytes
    };
    const Case cases[] = {
        {{0x39}, "1419D4D7.upk", {0x39, 0xE3, 0x39, 0xE3}},
        {{0xE3}, "979E9025.upk", {0xE3, 0xE3, 0x39, 0xE3}},
        {{'a', 'b', 'c'}, "7A0FC95A.upk", {0x61, 0x62, 0x63, 0xE3, 0x39, 0xE3}},
        {std::vector<uint8_t>(IMAGE_SIZE, 0), "5F288CC9.upk", {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        test::TempWorkDir inner;
        write_file("soft.bin", c.program);
        EXPECT_EQ(convert(), 1) << c.name;
        EXPECT_EQ(list_dir("."), (std::vector<std::string>{c.name, "soft.obin"}));
        const auto bytes = read_file(c.name);
        EXPECT_EQ(bytes, fill_after(c.program)) << c.name;
        ASSERT_EQ(bytes.size(), IMAGE_SIZE);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(c.head.size())),
                  c.head)
            << c.name;
        EXPECT_EQ(read_file("soft.obin"), c.program);
    }
}

TEST_F(Converter, TooLargeSoftBinIsRefusedWithoutLineEnd) {
    write_file("soft.bin", std::vector<uint8_t>(IMAGE_SIZE + 1, 1));
    EXPECT_EQ(convert(), -3);
    EXPECT_EQ(con.text(), "Open file soft.bin , size: 122881; ");
    EXPECT_EQ(list_dir("."), std::vector<std::string>{"soft.bin"});
}

TEST_F(Converter, NoSoftBinIsSilent) {
    EXPECT_EQ(convert(), -1);
    EXPECT_EQ(con.text(), "");
    EXPECT_TRUE(list_dir(".").empty());
}

TEST_F(Converter, ExistingContainerIsNeverReplaced) {
    const std::vector<uint8_t> old = {1, 2, 3};
    write_file("1419D4D7.upk", old);
    write_file("soft.bin", {});
    EXPECT_EQ(convert(), 1);
    EXPECT_EQ(read_file("1419D4D7.upk"), old);
    EXPECT_EQ(read_file("file.temp"), fill_after({}));
    EXPECT_EQ(list_dir("."),
              (std::vector<std::string>{"1419D4D7.upk", "file.temp", "soft.obin"}));
    EXPECT_NE(con.text().find(" End process.\n"), std::string::npos);
}

TEST_F(Converter, ExistingSoftObinKeepsSoftBin) {
    write_file("soft.obin", {7});
    write_file("soft.bin", {0xE3});
    EXPECT_EQ(convert(), 1);
    EXPECT_EQ(list_dir("."),
              (std::vector<std::string>{"979E9025.upk", "soft.bin", "soft.obin"}));
    EXPECT_EQ(read_file("soft.obin"), std::vector<uint8_t>{7});
}

TEST_F(Converter, DirectoryNamedSoftBinIsNotConverted) {
    std::filesystem::create_directory("soft.bin");
    EXPECT_EQ(convert(), -1);
    EXPECT_EQ(con.text(), "");
    EXPECT_EQ(list_dir("."), std::vector<std::string>{"soft.bin"});
}

TEST_F(Converter, TempFileThatCannotBeCreated) {
    write_file("soft.bin", {1, 2});
    std::filesystem::create_directory("file.temp");  // a directory cannot be opened as a file
    EXPECT_EQ(convert(), -2);
    EXPECT_EQ(con.text(), "Open file soft.bin , size: 2; read: 2;\nNo create output file.temp file\n");
    EXPECT_TRUE(std::filesystem::exists("soft.bin"));
}

class Loader : public ::testing::Test {
protected:
    Loader() : image(IMAGE_SIZE, 0xAA) {}
    test::TempWorkDir dir;
    RecordingConsole con;
    std::vector<uint8_t> image;
};

TEST_F(Loader, FullContainer) {
    std::vector<uint8_t> bytes(IMAGE_SIZE);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    write_file("full.upk", bytes);
    EXPECT_EQ(read_container(con, "full.upk", image.data()), 1);
    EXPECT_EQ(image, bytes);
    EXPECT_NE(con.text().find("Прочитано в память: 122880 byte\n"), std::string::npos);
}

TEST_F(Loader, MissingOrEmptyName) {
    EXPECT_EQ(read_container(con, "absent.upk", image.data()), -1);
    EXPECT_EQ(read_container(con, "", image.data()), -1);
    EXPECT_EQ(con.text(), "Cannot open .upk file (absent.upk)\nCannot open .upk file ()\n");
    EXPECT_EQ(image, std::vector<uint8_t>(IMAGE_SIZE, 0xAA));
}

TEST_F(Loader, DirectoryCannotBeOpened) {
    std::filesystem::create_directory("d.upk");
    EXPECT_EQ(read_container(con, "d.upk", image.data()), -1);
    EXPECT_EQ(con.text(), "Cannot open .upk file (d.upk)\n");
}

// A container is exactly IMAGE_SIZE bytes: a file of any other size is refused after its size
// line, without a read line, and the buffer is left as it was.
TEST_F(Loader, AFileOfAnotherSizeIsRefusedAndLeavesTheBuffer) {
    struct Case {
        size_t size;
        int8_t result;
        const char* line;
    };
    const char* shorter = "Размер файла меньше 122880 byte, файл не загружен\n";
    const char* longer = "Размер файла больше 122880 byte, файл не загружен\n";
    for (const Case& c : {Case{0, -3, shorter}, Case{100, -3, shorter}, Case{65536, -3, shorter},
                          Case{IMAGE_SIZE - 1, -3, shorter}, Case{IMAGE_SIZE + 1, -2, longer}}) {
        con.clear();
        write_file("c.upk", std::vector<uint8_t>(c.size, 0x11));
        EXPECT_EQ(read_container(con, "c.upk", image.data()), c.result) << c.size;
        EXPECT_EQ(con.text(), "Открываем .upk файл (c.upk) размер файла: " +
                                  std::to_string(c.size) + " byte\n" + c.line)
            << c.size;
        EXPECT_EQ(image, std::vector<uint8_t>(IMAGE_SIZE, 0xAA)) << c.size;
    }
}

// The name of a container is the CRC-32 of its bytes, in hex digits of either case, without
// or with leading zeros, before ".upk" in either case, after any folders.
TEST(ContainerName, IsHeldAgainstTheImagesCrc) {
    struct Case {
        const char* name;
        uint32_t crc;
        NameCheck check;
    };
    const Case cases[] = {
        {"D718226B.upk", 0xD718226B, NameCheck::matches},
        {"d718226b.UPK", 0xD718226B, NameCheck::matches},
        {"ABCD.upk", 0x0000ABCD, NameCheck::matches},
        {"0000ABCD.upk", 0x0000ABCD, NameCheck::matches},
        {"0.upk", 0, NameCheck::matches},
        {"C:\\fw\\line 2/D718226B.upk", 0xD718226B, NameCheck::matches},
        {"fw/D718226B.upk", 0xD718226B, NameCheck::matches},
        {"D718226B.upk", 0xD718226C, NameCheck::differs},
        {"ABCD.upk", 0x1000ABCD, NameCheck::differs},
        {"D718226B.upk\\1419D4D7.upk", 0xD718226B, NameCheck::differs},
        {"firmware.upk", 0xD718226B, NameCheck::not_a_crc},
        {"D718226B.bin", 0xD718226B, NameCheck::not_a_crc},
        {"D718226B.upk.bak", 0xD718226B, NameCheck::not_a_crc},
        {"D718226B (1).upk", 0xD718226B, NameCheck::not_a_crc},
        {"0D718226B.upk", 0xD718226B, NameCheck::not_a_crc},
        {".upk", 0, NameCheck::not_a_crc},
        {"", 0, NameCheck::not_a_crc},
        {"fw/", 0, NameCheck::not_a_crc},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(check_container_name(c.name, c.crc), c.check) << c.name;
    }
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

// The example container is the conversion of the example firmware, byte for byte.
TEST(ExampleContainer, IsTheConversionOfTheSampleFirmware) {
    const std::filesystem::path examples = QD_EXAMPLES_DIR;
    const auto expected = test::read_file(examples / "D718226B.upk");
    test::TempWorkDir dir;
    std::filesystem::copy_file(examples / "sample-firmware.bin", "soft.bin");
    RecordingConsole con;
    VirtualClock clock;
    ASSERT_EQ(run_file_converter(con, clock), 1);
    EXPECT_EQ(test::read_file("D718226B.upk"), expected);
}

}  // namespace
}  // namespace qd
