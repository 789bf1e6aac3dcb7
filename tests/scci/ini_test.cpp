// The adapter's INI reading, through the platform's private-profile layer.
// The same cases run natively (the POSIX reader) and under Wine (the
// Windows functions): both sides must see the same strings.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "adapter_config.h"
#include "platform/platform.h"
#include "profile.h"

namespace {

using Strings = std::vector<std::string>;
using Clocks = std::vector<std::uint32_t>;

class IniFile {
public:
    explicit IniFile(const std::string& text) {
        static int serial;
        // The private-profile functions want a full path on Windows.
        path_ = vesk::plat::directoryOf(vesk::plat::modulePath(reinterpret_cast<const void*>(&dummy))) +
                "scci_ini_test_" + std::to_string(++serial) + ".ini";
        FILE* f = std::fopen(path_.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    ~IniFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    static void dummy() {}
    std::string path_;
};

struct IniCase {
    const char* what;
    std::string text;
    Strings names;
    const char* section;  // read with profileSection
    Strings lines;
    Clocks ym2151;  // clocksFor "YM2151"
};

TEST(IniFile, ProfileReadersAndClockLists) {
    const IniCase cases[] = {
        {"several CLOCK lines with a duplicate, in file order",
         "[YM2151]\r\nCLOCK=3579545\r\nCLOCK=4000000\r\nCLOCK=3579545\r\n",
         {"YM2151"},
         "YM2151",
         {"CLOCK=3579545", "CLOCK=4000000", "CLOCK=3579545"},
         {3579545, 4000000, 3579545}},
        {"section names differing in case are not the model's",
         "[ym2151]\nCLOCK=3000000\n",
         {"ym2151"},
         "YM2151",
         {"CLOCK=3000000"},
         {}},
        {"blanks around keys and values are trimmed; other keys ignored",
         "[YM2151]\n  CLOCK = 3000000  \nCL OCK=5\nclock=6\nCLOCKS=7\n\tCLOCK\t=\t8\n",
         {"YM2151"},
         "YM2151",
         {"CLOCK=3000000", "CL OCK=5", "clock=6", "CLOCKS=7", "CLOCK=8"},
         {3000000, 8}},
        {"lines without '=', starting with it, comments and blank lines",
         "[YM2151]\nCLOCK\n=5\n; CLOCK=9\n\n   \nCLOCK=7\n",
         {"YM2151"},
         "YM2151",
         {"CLOCK", "=5", "CLOCK=7"},
         {7}},
        {"values that do not convert are skipped, the others read as the C library does",
         "[YM2151]\nCLOCK=abc\nCLOCK=\nCLOCK=99999999999\nCLOCK=-1\nCLOCK=12abc\nCLOCK=+7\n"
         "CLOCK=2147483647\nCLOCK=2147483648\nCLOCK=-2147483648\nCLOCK=-2147483649\nCLOCK=0x10\n",
         {"YM2151"},
         "YM2151",
         {"CLOCK=abc", "CLOCK=", "CLOCK=99999999999", "CLOCK=-1", "CLOCK=12abc", "CLOCK=+7", "CLOCK=2147483647",
          "CLOCK=2147483648", "CLOCK=-2147483648", "CLOCK=-2147483649", "CLOCK=0x10"},
         {4294967295u, 12, 7, 2147483647u, 2147483648u, 0}},
        {"a repeated section name: the first section is read for each",
         "[YM2151]\nCLOCK=1\n[YM2203]\nCLOCK=2\n[YM2151]\nCLOCK=3\n",
         {"YM2151", "YM2203", "YM2151"},
         "YM2151",
         {"CLOCK=1"},
         {1, 1}},
        {"lines before the first section and unknown sections",
         "CLOCK=5\n[OTHER]\nCLOCK=6\n[YM2151]\nCLOCK=7\n",
         {"OTHER", "YM2151"},
         "YM2151",
         {"CLOCK=7"},
         {7}},
        {"no such section", "[YM2203]\nCLOCK=2\n", {"YM2203"}, "YM2151", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        IniFile file(c.text);
        EXPECT_EQ(scci2vesk::profileSectionNames(file.path()), c.names);
        EXPECT_EQ(scci2vesk::profileSection(file.path(), c.section), c.lines);
        EXPECT_EQ(scci2vesk::clocksFor(scci2vesk::readIniConfig(file.path()), "YM2151"), c.ym2151);
    }
}

TEST(IniFile, SectionNameListStopsAt1024Bytes) {
    // 127 names of 7 characters fill 1016 bytes; the 128th is cut to what
    // is left before the final terminator, and nothing after it is seen.
    std::string text;
    char name[16];
    for (int i = 0; i < 200; ++i) {
        std::snprintf(name, sizeof name, "SEC%04d", i);
        text += "[" + std::string(name) + "]\nCLOCK=1\n";
    }
    text += "[YM2151]\nCLOCK=3000000\n";
    IniFile file(text);
    Strings names = scci2vesk::profileSectionNames(file.path());
    ASSERT_EQ(names.size(), 128u);
    EXPECT_EQ(names[126], "SEC0126");
    EXPECT_EQ(names[127], "SEC012");
    EXPECT_TRUE(scci2vesk::clocksFor(scci2vesk::readIniConfig(file.path()), "YM2151").empty());
}

TEST(IniFile, SectionTextStopsAt1024Bytes) {
    // Each line takes 14 bytes: 73 fit, the 74th is not seen.
    std::string text = "[YM2151]\n";
    for (int i = 0; i < 80; ++i) text += "CLOCK=" + std::to_string(1000000 + i) + "\n";
    IniFile file(text);
    Strings lines = scci2vesk::profileSection(file.path(), "YM2151");
    ASSERT_EQ(lines.size(), 73u);
    EXPECT_EQ(lines.back(), "CLOCK=1000072");
    EXPECT_EQ(scci2vesk::clocksFor(scci2vesk::readIniConfig(file.path()), "YM2151").size(), 73u);

    // A long last line is cut at the buffer's end.
    std::string cut = "[YM2151]\n";
    for (int i = 0; i < 72; ++i) cut += "CLOCK=" + std::to_string(1000000 + i) + "\n";
    cut += "CLOCK=123456789\n";  // 1008 bytes used before it, 16 left
    IniFile cutFile(cut);
    lines = scci2vesk::profileSection(cutFile.path(), "YM2151");
    ASSERT_EQ(lines.size(), 73u);
    EXPECT_EQ(lines.back(), "CLOCK=12345678");
}

TEST(IniFile, MissingFileIsEmpty) {
    const std::string path = "no_such_scci2vesk.ini";
    EXPECT_FALSE(vesk::plat::fileExists(path));
    EXPECT_TRUE(scci2vesk::readIniConfig(path).empty());
}

TEST(ClockText, ParsesLikeTheStandardConversion) {
    struct Case {
        const char* text;
        bool ok;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"3579545", true, 3579545},
        {"  42", true, 42},
        {"\t-5", true, 0xFFFFFFFBu},
        {"+0", true, 0},
        {"7 Hz", true, 7},
        {"", false, 0},
        {"-", false, 0},
        {"x1", false, 0},
        {"2147483647", true, 0x7FFFFFFFu},
        {"2147483648", false, 0},
        {"-2147483648", true, 0x80000000u},
        {"-2147483649", false, 0},
        {"00000000000000000001", true, 1},
        {"1 2", true, 1},
    };
    for (const auto& c : cases) {
        std::uint32_t v = 12345;
        EXPECT_EQ(scci2vesk::parseClock(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 12345u) << c.text;
    }
}

}  // namespace
