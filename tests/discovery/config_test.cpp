#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/config.h"
#include "platform/platform.h"

namespace vesk {
namespace {

class Config : public ::testing::Test {
protected:
    void SetUp() override {
        plat::setMessageHook([this](const std::string& t, const std::string& c) { boxes.push_back({c, t}); });
    }
    void TearDown() override { plat::setMessageHook(nullptr); }
    std::vector<std::pair<std::string, std::string>> boxes;  // caption, text
};

TEST_F(Config, Cases) {
    struct Case {
        const char* why;
        const char* text;
        bool ok;
        std::vector<std::string> targets;
    };
    const Case cases[] = {
        {"two boards in file order",
         "[target_address]\nipv6 = [\"fe80::2\", \"fe80::1\"]\n",
         true,
         {"fe80::2", "fe80::1"}},
        {"empty array", "[target_address]\nipv6 = []\n", true, {}},
        {"unknown keys and tables are ignored",
         "title = \"x\"\n[other]\nk = 1\n[target_address]\nipv6 = [\"fe80::1\"]\nextra = true\n",
         true,
         {"fe80::1"}},
        {"no table", "ipv6 = [\"fe80::1\"]\n", false, {}},
        {"no key", "[target_address]\nipv4 = [\"1.2.3.4\"]\n", false, {}},
        {"table of wrong type", "target_address = 3\n", false, {}},
        {"key of wrong type", "[target_address]\nipv6 = \"fe80::1\"\n", false, {}},
        {"element of wrong type", "[target_address]\nipv6 = [\"fe80::1\", 2]\n", false, {}},
        {"empty file", "", false, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> targets = {"stale"};
        EXPECT_EQ(parseConfiguration(c.text, "vesk_config.toml", targets), c.ok) << c.why;
        EXPECT_EQ(targets, c.targets) << c.why;
    }
    EXPECT_TRUE(boxes.empty()) << "only a syntax error is shown";
}

// [timing]: every board by the board's clock unless the file says otherwise;
// a value that is no choice is shown and leaves the default. Each case asks
// for boards A (fe80::a) and B (fe80::b, also written fe80:0::B).
TEST_F(Config, TimingChoice) {
    const auto board = Timing::BoardClock, departure = Timing::Departure;
    const struct {
        const char* why;
        const char* text;
        Timing a, b;
        std::size_t boxes;
    } cases[] = {
        {"no table: the board's clock", "[target_address]\nipv6 = []\n", board, board, 0},
        {"departure for all, without a target list", "[timing]\nmode = \"departure\"\n", departure, departure, 0},
        {"one board by departure", "[timing]\ndeparture = [\"fe80:0::B\"]\n", board, departure, 0},
        {"all by departure but one", "[timing]\nmode = \"departure\"\nboard = [\"fe80::a\"]\n", board, departure, 0},
        {"an unknown mode is shown, the default kept", "[timing]\nmode = \"early\"\n", board, board, 1},
        {"an address that does not parse is shown, the rest kept",
         "[timing]\ndeparture = [\"fe80::zz\", \"fe80::a\"]\n", departure, board, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        boxes.clear();
        std::vector<std::string> targets;
        TimingChoice timing;
        parseConfiguration(c.text, "vesk_config.toml", targets, &timing);
        EXPECT_EQ(timing.forBoard("fe80::a"), c.a);
        EXPECT_EQ(timing.forBoard("fe80::b"), c.b);
        EXPECT_EQ(boxes.size(), c.boxes);
        for (const auto& b : boxes) EXPECT_EQ(b.first, "toml error");
    }
}

TEST_F(Config, SyntaxErrorShowsTheParsersText) {
    std::vector<std::string> targets;
    EXPECT_FALSE(parseConfiguration("[target_address]\nipv6 = [\"fe80::1\"\n[broken\n", "vesk_config.toml", targets));
    EXPECT_TRUE(targets.empty());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].first, "toml error");
    EXPECT_NE(boxes[0].second.find("vesk_config.toml"), std::string::npos) << boxes[0].second;
}

// Text that is not UTF-8 never reaches the parser (inside a string it made
// the parser read outside its buffers): a box names the first bad byte.
TEST_F(Config, TextThatIsNotUtf8IsRefusedWithItsOffset) {
    const std::pair<std::string, std::size_t> cases[] = {
        {"[target_address]\nipv6 = ['fe80::1\xff']\n", 33},        // a byte no UTF-8 has
        {"[target_address]\nipv6 = [\"\xc3\"]\n", 26},             // a sequence cut short
        {"a = '\xe0\x80\xaf'\n[target_address]\nipv6 = []\n", 5},  // overlong '/'
        {"a = \"\xed\xa0\x80\"\n", 5},                             // a surrogate
        {"a = '''\xf4\x90\x80\x80'''\n", 7},                       // above U+10FFFF
    };
    for (const auto& [text, offset] : cases) {
        boxes.clear();
        std::vector<std::string> targets = {"stale"};
        EXPECT_FALSE(parseConfiguration(text, "vesk_config.toml", targets)) << text;
        EXPECT_TRUE(targets.empty());
        ASSERT_EQ(boxes.size(), 1u) << text;
        EXPECT_EQ(boxes[0].first, "toml error");
        EXPECT_NE(boxes[0].second.find("vesk_config.toml: byte " + std::to_string(offset) + ":"), std::string::npos)
            << boxes[0].second;
    }
    std::vector<std::string> targets;
    EXPECT_TRUE(parseConfiguration("# \xe2\x80\x94 \xf0\x9f\x8e\xb5\n[target_address]\nipv6 = [\"fe80::1\"]\n",
                                   "vesk_config.toml", targets))
        << "UTF-8 beyond ASCII is read";
    EXPECT_EQ(targets, std::vector<std::string>{"fe80::1"});
}

TEST_F(Config, MissingFileIsSilent) {
    std::vector<std::string> targets = {"stale"};
    EXPECT_FALSE(readConfiguration("no/such/dir/", targets));
    EXPECT_TRUE(targets.empty());
    EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace vesk
