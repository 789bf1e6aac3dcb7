// The simulator's configuration reader and its record format.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "sim_config.h"
#include "sim_record.h"

using namespace vesk::sim;

namespace {
const char* kHead = "[[board]]\nlink = \"vb0\"\naddress = \"fe80::1\"\n";

std::string errorOf(const std::string& text) {
    try {
        parseConfig(text, "bad.toml");
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "(accepted)";
}
}  // namespace

TEST(SimConfig, RejectsBadConfigurationsNamingFileLineAndKey) {
    struct Case {
        std::string text;
        const char* expect;  // the start of the message
    } cases[] = {
        {"", "bad.toml:"},  // no boards at all
        {std::string(kHead) + "clok = 3\n", "bad.toml:4: board[0].clok: unknown key"},
        {"[[board]]\nname = \"x\"\n", "bad.toml:1: board[0].link: missing"},
        {"[[board]]\nlink = \"vb0\"\n\naddress = \"2001:db8::1\"\n", "bad.toml:4: board[0].address: not a link-local"},
        {"[[board]]\nlink = \"vb0\"\naddress = \"fe80::zz\"\n", "bad.toml:3: board[0].address: not an IPv6"},
        {std::string(kHead) + "wait_ms = 70000\n", "bad.toml:4: board[0].wait_ms: out of range"},
        {std::string(kHead) + "firmware = \"1.2\"\n", "bad.toml:4: board[0].firmware: expected \"major.minor.patch\""},
        {std::string(kHead) + "[[board.slot]]\nchip = \"YM2151\"\nclock = \"fast\"\n",
         "bad.toml:6: board[0].slot[0].clock: expected an integer"},
        {std::string(kHead) + "[[board.slot]]\nreads = { \"0:300\" = 1 }\n",
         "bad.toml:5: board[0].slot[0].reads.\"0:300\""},
        {std::string(kHead) + "[[board.slot]]\nreads = { \"x:1\" = 1 }\n",
         "bad.toml:5: board[0].slot[0].reads.\"x:1\""},
        {std::string(kHead) + "[[board.slot]]\nreads = { \"1:\" = 1 }\n", "bad.toml:5: board[0].slot[0].reads.\"1:\""},
        {std::string(kHead) + "[[board.i2c]]\naddress = 0x28\n", "bad.toml:4: board[0].i2c[0].type: missing"},
        {std::string(kHead) + "[[board.i2c]]\naddress = 0x80\ntype = \"display\"\n",
         "bad.toml:5: board[0].i2c[0].address: out of range"},
        {std::string(kHead) + "[[board.i2c]]\naddress = 0x28\ntype = \"lamp\"\n",
         "bad.toml:6: board[0].i2c[0].type: expected attenuator"},
        {std::string(kHead) + "[board.faults]\nno_reply = [\"board:0x1ff\"]\n",
         "bad.toml:5: board[0].faults.no_reply: unknown reply selector"},
        {std::string(kHead) + "[board.faults]\ndelay_ms = { \"sink\" = 5 }\n",
         "bad.toml:5: board[0].faults.delay_ms.\"sink\": unknown reply selector"},
        {std::string(kHead) + "[board.faults]\nsilent_after = 5\n",
         "bad.toml:5: board[0].faults.silent_after: unknown"},
        {std::string(kHead) + "[board.faults]\nsilent_for_ms = 5\n",
         "bad.toml:5: board[0].faults.silent_for_ms: needs silent_after_ms"},
        {std::string(kHead) + std::string(kHead), "bad.toml:4: board[1].address: two boards"},
        {std::string(kHead) + "name = \"a\"\nname = \"b\"\n", "bad.toml:5: syntax error"},
        {std::string(kHead) + "address2 = fe80::1\n", "bad.toml:4: syntax error"},
        {std::string(kHead) + "clock_ppm = 10000.5\n", "bad.toml:4: board[0].clock_ppm: out of range"},
        {std::string(kHead) + "clock_ppm = -10001\n", "bad.toml:4: board[0].clock_ppm: out of range"},
        {std::string(kHead) + "clock_ppm = nan\n", "bad.toml:4: board[0].clock_ppm: out of range"},
        {std::string(kHead) + "clock_ppm = \"fast\"\n", "bad.toml:4: board[0].clock_ppm: expected a number"},
        {std::string(kHead) + "jitter_ms = -0.1\n", "bad.toml:4: board[0].jitter_ms: out of range"},
        {std::string(kHead) + "jitter_ms = 1001\n", "bad.toml:4: board[0].jitter_ms: out of range"},
    };
    for (const auto& c : cases) {
        std::string got = errorOf(c.text);
        EXPECT_EQ(got.compare(0, std::string(c.expect).size(), c.expect), 0) << "got: " << got;
    }
    try {
        loadConfig("/nonexistent/sim.toml");
        ADD_FAILURE() << "accepted a missing file";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/sim.toml"), std::string::npos);
    }
}

TEST(SimConfig, ClockAndJitterTakeIntegersAndFloats) {
    struct Case {
        const char* keys;
        double ppm, jitter;
    } cases[] = {
        {"", 0, 0},
        {"clock_ppm = -100.0\njitter_ms = 0.5\n", -100, 0.5},
        {"clock_ppm = 100\njitter_ms = 1000\n", 100, 1000},
        {"clock_ppm = -10000\njitter_ms = 0\n", -10000, 0},
    };
    for (const auto& c : cases) {
        const BoardConfig b = parseConfig(std::string(kHead) + c.keys, "ok.toml").boards.at(0);
        EXPECT_EQ(b.clockPpm, c.ppm) << c.keys;
        EXPECT_EQ(b.jitterMs, c.jitter) << c.keys;
    }
}

TEST(SimConfig, ShippedConfigurationsLoad) {
    for (const char* name : {"tools/vesk_sim/examples/two-boards.toml", "tools/testbed/topologies/one-board.toml",
                             "tools/testbed/topologies/two-boards.toml", "tools/testbed/topologies/two-links.toml",
                             "tools/testbed/topologies/no-chips.toml", "tools/testbed/topologies/discovery-only.toml",
                             "tests/sim/net.toml"}) {
        SimConfig c;
        ASSERT_NO_THROW(c = loadConfig(std::string(VESK_SOURCE_DIR) + "/" + name)) << name;
        EXPECT_FALSE(c.boards.empty());
    }
    SimConfig two = loadConfig(std::string(VESK_SOURCE_DIR) + "/tools/vesk_sim/examples/two-boards.toml");
    ASSERT_EQ(two.boards.size(), 2u);
    EXPECT_EQ(two.boards[0].slots.size(), 4u);
    EXPECT_FALSE(two.boards[0].slots[2].present);
    EXPECT_EQ(two.boards[1].firmware, (std::array<std::uint8_t, 3>{{0, 9, 3}}));
    EXPECT_EQ(two.boards[0].slots[3].reads.at({0, 0}), 0);
}

TEST(SimRecord, WrittenLinesReadBackAndSummarise) {
    std::ostringstream out;
    RecordLine(&out, "start").str("board", "A \"quoted\"\\name\n").num("slots", 2);
    RecordLine(&out, "datagram").str("board", "A").num("len", 7).flag("multicast", false);
    RecordLine(&out, "datagram").str("board", "A").num("len", 9).flag("overflow", true);
    const std::uint8_t bytes[] = {0x06, 0x00, 0x10, 0x20, 0xff, 0, 0};
    RecordLine(&out, "command")
        .str("board", "A")
        .str("name", "write_reg")
        .num("slot", 1)
        .str("status", "ok")
        .hex("bytes", bytes, sizeof bytes);
    RecordLine(&out, "command").str("board", "A").str("name", "query").str("status", "unknown_item");
    RecordLine(&out, "reply").str("board", "A").str("fate", "dropped");
    RecordLine(&out, "datagram").str("board", "").num("len", 3);

    std::vector<RecordEntry> entries;
    std::string error;
    std::istringstream in(out.str() + "{\"type\":\"datagram\",\"bo");  // a line still being written
    ASSERT_TRUE(readRecord(in, entries, &error)) << error;
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[0].str("board"), "A \"quoted\"\\name\n");
    EXPECT_EQ(entries[0].num("slots"), 2);
    EXPECT_FALSE(entries[1].flag("multicast"));
    EXPECT_EQ(entries[3].bytes("bytes"), std::vector<std::uint8_t>(bytes, bytes + sizeof bytes));
    EXPECT_EQ(entries[3].num("missing", 42), 42);

    auto sum = summarize(entries);
    EXPECT_EQ(sum["A"].datagrams, 2);
    EXPECT_EQ(sum["A"].bytes, 16);
    EXPECT_EQ(sum["A"].overflow, 1);
    EXPECT_EQ(sum["A"].commands["write_reg"], 1);
    EXPECT_EQ(sum["A"].slots[1]["write_reg"], 1);
    EXPECT_EQ(sum["A"].statuses["unknown_item"], 1);
    EXPECT_EQ(sum["A"].replies["dropped"], 1);
    EXPECT_EQ(sum[""].datagrams, 1);
    std::string text = formatSummary(sum);
    EXPECT_NE(text.find("slot 1: write_reg 1"), std::string::npos) << text;
    EXPECT_NE(text.find("\n  overflow 1\n"), std::string::npos) << text;

    std::istringstream broken("{\"type\":\"start\"}\nnot json\n{\"type\":\"stop\"}\n");
    entries.clear();
    EXPECT_FALSE(readRecord(broken, entries, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos);
}
