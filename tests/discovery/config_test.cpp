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
        {"two boards in file order", "[target_address]\nipv6 = [\"fe80::2\", \"fe80::1\"]\n", true,
         {"fe80::2", "fe80::1"}},
        {"empty array", "[target_address]\nipv6 = []\n", true, {}},
        {"unknown keys and tables are ignored",
         "title = \"x\"\n[other]\nk = 1\n[target_address]\nipv6 = [\"fe80::1\"]\nextra = true\n", true, {"fe80::1"}},
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

TEST_F(Config, SyntaxErrorShowsTheParsersText) {
    std::vector<std::string> targets;
    EXPECT_FALSE(parseConfiguration("[target_address]\nipv6 = [\"fe80::1\"\n[broken\n", "vesk_config.toml", targets));
    EXPECT_TRUE(targets.empty());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].first, "toml error");
    EXPECT_NE(boxes[0].second.find("vesk_config.toml"), std::string::npos) << boxes[0].second;
}

TEST_F(Config, MissingFileIsSilent) {
    std::vector<std::string> targets = {"stale"};
    EXPECT_FALSE(readConfiguration("no/such/dir/", targets));
    EXPECT_TRUE(targets.empty());
    EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace vesk
