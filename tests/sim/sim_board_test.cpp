// The simulated board's behaviour without the network: datagrams in,
// replies, register files, timeline and record out.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "sim_board.h"
#include "sim_record.h"

using namespace vesk::sim;
using Bytes = std::vector<std::uint8_t>;

namespace {

const char* kBoard = R"(
[[board]]
name = "T-BOARD"
link = "vb0"
address = "fe80::5e5c:1"
firmware = "0.9.3"
wait_ms = 40
ipv4 = "10.0.0.7"
idle_ms = 90
#KEYS
  [[board.slot]]
  chip = "YM2151"
  clock = 4000000
  variable_clock = true
  hardware_reset = true
  ext_info = "X=1"
  reads = { "0:0x10" = 0x5a }
  [[board.slot]]
  chip = "YM2413"
  clock = 3579545
  [[board.slot]]
  present = false
  [[board.i2c]]
  address = 0x28
  type = "attenuator"
  levels = [5, 9]
  [[board.i2c]]
  address = 0x3C
  type = "display"
  [[board.i2c]]
  address = 0x50
  type = "memory"
  data = [1, 2, 3, 4]
)";

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kIdle = -1;

struct Harness {
    // extra: tables appended after the board; keys: keys of the board itself.
    explicit Harness(const std::string& extra = "", const std::string& keys = "")
        : cfg(parseConfig(withKeys(keys) + extra, "test.toml")), board(cfg.boards.at(0), 0, &record) {
        from.addr = {{0xfe, 0x80}};
        from.addr[15] = 1;
        from.port = 50003;
    }
    // Sends one datagram at time t (by default once the board has played
    // all it holds); returns what the board replies.
    std::vector<Reply> send(const Bytes& d, std::int64_t t = kIdle, bool multicast = false) {
        std::vector<Reply> out;
        if (t == kIdle) t = std::max(1000 * kMs, board.timelineNs());
        board.receive(d.data(), d.size(), multicast, from, t, ++seq, out);
        return out;
    }
    Bytes one(const Bytes& d, std::int64_t t = kIdle) {
        auto r = send(d, t);
        EXPECT_EQ(r.size(), 1u) << "for " << toHex(d.data(), d.size());
        return r.empty() ? Bytes{} : r[0].bytes;
    }
    std::vector<RecordEntry> entries(const std::string& type) {
        std::vector<RecordEntry> all, out;
        std::istringstream in(record.str());
        std::string error;
        EXPECT_TRUE(readRecord(in, all, &error)) << error;
        for (auto& e : all)
            if (e.type() == type) out.push_back(e);
        return out;
    }

    // The board's buffer is 64 bytes unless keys say otherwise.
    static std::string withKeys(std::string keys) {
        if (keys.find("buffer_size") == std::string::npos) keys += "\nbuffer_size = 64";
        std::string s = kBoard;
        return s.replace(s.find("#KEYS"), 5, keys);
    }

    std::ostringstream record;
    SimConfig cfg;
    Board board;
    Peer from;
    std::uint64_t seq = 0;
};

const Bytes kSync = {0x01, 0x80}, kSyncReply = {0x03, 0x80, 0x57, 0x50}, kResetOk = {0x03, 0x90, 0x4F, 0x4B};

}  // namespace

TEST(SimBoard, DiscoveryAndSyncAnswerWP) {
    Harness h;
    auto r = h.send(kSync, 5 * kMs, true);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes, kSyncReply);
    EXPECT_EQ(r[0].to.port, 50003);
    EXPECT_EQ(r[0].to.addr, h.from.addr);
    EXPECT_EQ(h.one(kSync), kSyncReply);
    auto replies = h.entries("reply");
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].str("tag"), "discovery");
    EXPECT_EQ(replies[1].str("tag"), "sync");

    Harness dup("  [board.faults]\n  duplicate_discovery = true\n");
    EXPECT_EQ(dup.send(kSync, 5 * kMs, true).size(), 2u);
    EXPECT_EQ(dup.send(kSync, 6 * kMs, false).size(), 1u);  // only discovery is doubled
}

TEST(SimBoard, BoardQueryItems) {
    Harness h;
    struct Case {
        Bytes query, reply;
    } cases[] = {
        {{0x03, 0x40, 0x00, 0x00}, {0x06, 0x40, 0x00, 0x00, 0x03, 0x09, 0x00}},  // patch, minor, major
        {{0x03, 0x40, 0x00, 0x01}, {0x04, 0x40, 0x00, 0x01, 0x03}},
        {{0x03, 0x40, 0x00, 0x04}, {0x05, 0x40, 0x00, 0x04, 40, 0}},
        {{0x03, 0x40, 0x00, 0x05}, {0x07, 0x40, 0x00, 0x05, 64, 0, 0, 0}},
        {{0x03, 0x40, 0x00, 0x06}, {0x0A, 0x40, 0x00, 0x06, 'T', '-', 'B', 'O', 'A', 'R', 'D'}},
        {{0x03, 0x40, 0x00, 0x07}, {0x0B, 0x40, 0x00, 0x07, '1', '0', '.', '0', '.', '0', '.', '7'}},
        {{0x03, 0x40, 0x00, 0x0B}, {0x04, 0x40, 0x00, 0x0B, 90}},
        {{0x04, 0x40, 0x00, 0x0C, 0x28}, {0x04, 0x40, 0x00, 0x0C, 1}},
        {{0x04, 0x40, 0x00, 0x0C, 0x3C}, {0x04, 0x40, 0x00, 0x0C, 1}},
        {{0x04, 0x40, 0x00, 0x0C, 0x29}, {0x04, 0x40, 0x00, 0x0C, 0}},
        {{0x03, 0x40, 0x00, 0x0C}, {0x04, 0x40, 0x00, 0x0C, 0}},  // probe without its address byte
    };
    for (const auto& c : cases) EXPECT_EQ(h.one(c.query), c.reply) << toHex(c.query.data(), c.query.size());
    // An item the board does not know gets no reply.
    EXPECT_TRUE(h.send({0x03, 0x40, 0x00, 0x02}).empty());
    EXPECT_EQ(h.entries("command").back().str("status"), "unknown_item");
}

TEST(SimBoard, SlotQueryItems) {
    Harness h;
    struct Case {
        std::uint8_t target, item;
        Bytes value;
    } cases[] = {
        {1, 0x00, {1}},
        {1, 0x01, {1}},
        {1, 0x02, {1}},
        {1, 0x03, {0x00, 0x09, 0x3D, 0x00}},  // 4000000
        {1, 0x04, {'Y', 'M', '2', '1', '5', '1'}},
        {1, 0x05, {'X', '=', '1'}},
        {2, 0x00, {1}},
        {2, 0x01, {0}},
        {2, 0x02, {0}},
        {2, 0x03, {0x99, 0x9E, 0x36, 0x00}},  // 3579545
        {2, 0x05, {}},                        // no extended information
        {3, 0x00, {0}},                       // configured empty
        {9, 0x00, {0}},                       // a slot the board does not have
        {9, 0x03, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        Bytes expect = {static_cast<std::uint8_t>(3 + c.value.size()), 0x40, c.target, c.item};
        expect.insert(expect.end(), c.value.begin(), c.value.end());
        EXPECT_EQ(h.one({0x03, 0x40, c.target, c.item}), expect) << int(c.target) << "/" << int(c.item);
    }
}

TEST(SimBoard, SetAndClearHostPort) {
    Harness h;
    EXPECT_EQ(h.one({0x05, 0x50, 0x00, 0x0A, 0x53, 0xC3}), Bytes({0x05, 0x50, 0x00, 0x0A, 0x53, 0xC3}));
    EXPECT_EQ(h.board.hostPort(), 50003);
    h.one({0x05, 0x50, 0x00, 0x0A, 0x00, 0x00});
    EXPECT_EQ(h.board.hostPort(), 0);
}

TEST(SimBoard, WritesReadsResetsAndClocks) {
    Harness h;
    // Two register writes to slot 0 (port codes 0 and 1) and one to slot 1,
    // a port write to slot 1, in one datagram.
    EXPECT_TRUE(h.send({0x06, 0x00, 0x00, 0x20, 0xC7, 3,    21, 0x06, 0x00, 0x01, 0x30, 0x11, 0,
                        0,    0x06, 0x00, 0x10, 0x0E, 0x22, 3,  3,    0x04, 0x02, 0x1D, 0x44, 50})
                    .empty());
    EXPECT_EQ(h.board.reg(0, 0, 0x20), 0xC7);
    EXPECT_EQ(h.board.reg(0, 1, 0x30), 0x11);
    EXPECT_EQ(h.board.reg(1, 0, 0x0E), 0x22);
    EXPECT_EQ(h.board.reg(0, 0, 0x0E), -1);
    EXPECT_EQ(h.board.portValue(1, 0xD), 0x44);

    // Reads: the last value written (on the same port code, else on any),
    // a configured value, or 0. The value is the reply's last byte.
    EXPECT_EQ(h.one({0x04, 0x04, 0x00, 0x20, 5}), Bytes({0x04, 0x04, 0x00, 0x20, 0xC7}));
    EXPECT_EQ(h.one({0x04, 0x04, 0x00, 0x30, 5}).back(), 0x11);  // written on port 1, read on port 0
    EXPECT_EQ(h.one({0x04, 0x04, 0x00, 0x10, 5}).back(), 0x5A);  // configured
    EXPECT_EQ(h.one({0x04, 0x04, 0x00, 0x11, 5}).back(), 0x00);

    // Reset of slot 0 only clears slot 0.
    EXPECT_EQ(h.one({0x02, 0x90, 0x01}), kResetOk);
    EXPECT_EQ(h.board.reg(0, 0, 0x20), -1);
    EXPECT_EQ(h.board.reg(1, 0, 0x0E), 0x22);
    EXPECT_EQ(h.one({0x02, 0x90, 0xFF}), kResetOk);
    EXPECT_EQ(h.board.reg(1, 0, 0x0E), -1);
    int slotResets = 0;
    for (const auto& e : h.entries("command")) slotResets += e.str("name") == "slot_reset";
    EXPECT_EQ(slotResets, 1 + 3);

    // Set clock: a variable-clock slot takes it (and reports it), a fixed one not.
    h.send({0x06, 0x08, 0x80, 0x40, 0x42, 0x0F, 0x00});  // slot 0, bit 7 set, 1000000 Hz
    EXPECT_EQ(h.board.slotClock(0), 1000000u);
    EXPECT_EQ(h.one({0x03, 0x40, 0x01, 0x03}), Bytes({0x07, 0x40, 0x01, 0x03, 0x40, 0x42, 0x0F, 0x00}));
    h.send({0x06, 0x08, 0x01, 0x40, 0x42, 0x0F, 0x00});
    EXPECT_EQ(h.board.slotClock(1), 3579545u);
    EXPECT_EQ(h.entries("command").back().str("status"), "fixed_clock");

    // A write to a slot the board does not have changes nothing.
    h.send({0x06, 0x00, 0x50, 0x20, 0x01, 0, 0});
    EXPECT_EQ(h.entries("command").back().str("status"), "no_slot");
}

TEST(SimBoard, WaitsAdvanceTheBoardsTimeline) {
    Harness h;
    // write (3 + 21 us), wait 3 ms, write (0 us), wait 250 us, sync
    const std::int64_t t0 = 2000 * kMs;
    h.send({0x06, 0x00, 0x00, 0x20, 0x01, 3, 21,   0x04, 0x01, 0x01, 0x03, 0x00, 0x06,
            0x00, 0x00, 0x21, 0x02, 0,    0, 0x04, 0x01, 0x00, 0xFA, 0x00, 0x01, 0x80},
           t0);
    auto cmds = h.entries("command");
    ASSERT_EQ(cmds.size(), 5u);
    const std::int64_t expect[] = {t0, t0 + 24000, t0 + 24000 + 3 * kMs, t0 + 24000 + 3 * kMs,
                                   t0 + 24000 + 3 * kMs + 250000};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(cmds[i].num("replay_ns"), expect[i]) << cmds[i].str("name");
    EXPECT_EQ(cmds[1].num("wait_us"), 3000);
    EXPECT_EQ(h.board.timelineNs(), expect[4]);

    // A datagram that arrives while the board still plays starts after it;
    // one that arrives later starts on arrival.
    h.send({0x00}, t0 + 1 * kMs);
    EXPECT_EQ(h.entries("command").back().num("replay_ns"), expect[4]);
    h.send({0x00}, t0 + 10 * kMs);
    EXPECT_EQ(h.entries("command").back().num("replay_ns"), t0 + 10 * kMs);
    EXPECT_EQ(h.entries("command").back().str("name"), "keepalive");
}

TEST(SimBoard, RepliesLeaveWhenTheTimelineReachesThem) {
    // A board busy with a 5 ms wait from t0 gets `then` at t0 + 1 ms (or
    // t0 + 10 ms, idle again). A sync answers when the timeline reaches
    // it, whatever pace_replies says; discovery at arrival; the rest as
    // pace_replies says.
    const Bytes wait5 = {0x04, 0x01, 0x01, 0x05, 0x00}, read = {0x04, 0x04, 0x00, 0x20, 0};
    struct Case {
        const char* what;
        bool pace, multicast;
        Bytes then;
        std::int64_t at, reply;  // ms after t0
    } cases[] = {
        {"sync, busy", false, false, kSync, 1, 5},
        {"sync, busy, paced", true, false, kSync, 1, 5},
        {"sync, idle", false, false, kSync, 10, 10},
        {"wait then sync in one datagram", false, false, {0x04, 0x01, 0x01, 0x02, 0x00, 0x01, 0x80}, 10, 12},
        {"discovery, busy", false, true, kSync, 1, 1},
        {"read, busy", false, false, read, 1, 1},
        {"read, busy, paced", true, false, read, 1, 5},
    };
    const std::int64_t t0 = 3000 * kMs;
    for (const auto& c : cases) {
        Harness h("", c.pace ? "pace_replies = true" : "");
        h.send(wait5, t0);
        auto r = h.send(c.then, t0 + c.at * kMs, c.multicast);
        ASSERT_EQ(r.size(), 1u) << c.what;
        EXPECT_EQ(r[0].sendAtNs, t0 + c.reply * kMs) << c.what;
    }
}

TEST(SimBoard, I2cAttenuatorMemoryAndAbsentDevices) {
    Harness h;
    // Attenuator: read gives the control byte and both level bytes.
    EXPECT_EQ(h.one({0x03, 0x20, 0x28, 0x03}), Bytes({0x04, 0x20, 0x87, 5, 0x40 | 9}));
    h.send({0x04, 0x30, 0x28, 0x87, 0x06});       // channel 0 level 6
    h.send({0x04, 0x30, 0x28, 0x87, 0x40 | 63});  // channel 1 level 63
    EXPECT_EQ(h.one({0x03, 0x20, 0x28, 0x03}), Bytes({0x04, 0x20, 0x87, 6, 0x7F}));
    h.send({0x05, 0x30, 0x28, 0x87, 0x00, 0x40});  // both channels 0
    EXPECT_EQ(h.one({0x03, 0x20, 0x28, 0x03}), Bytes({0x04, 0x20, 0x87, 0, 0x40}));
    // Memory: bytes written first set the pointer, then the read follows.
    EXPECT_EQ(h.one({0x04, 0x20, 0x50, 0x02, 0x01}), Bytes({0x03, 0x20, 2, 3}));
    h.send({0x05, 0x30, 0x50, 0x10, 0xAA, 0xBB});
    EXPECT_EQ(h.one({0x04, 0x20, 0x50, 0x02, 0x10}), Bytes({0x03, 0x20, 0xAA, 0xBB}));
    // 254 bytes at most; nothing from an absent device.
    EXPECT_EQ(h.one({0x03, 0x20, 0x50, 0xFF}).size(), 256u);
    EXPECT_EQ(h.one({0x03, 0x20, 0x51, 0x03}), Bytes({0x01, 0x20}));
    h.send({0x03, 0x30, 0x51, 0x00});
    EXPECT_EQ(h.entries("command").back().str("status"), "no_device");
}

TEST(SimBoard, DisplayTakesTheTestProgramsPasses) {
    Harness h("", "buffer_size = 256");
    auto pass = [&](std::uint8_t fill) {
        for (std::uint8_t page = 0; page < 8; ++page) {
            h.send(
                {0x0A, 0x30, 0x3C, 0x00, 0x21, 0x00, 0x7F, 0x22, 0x00, 0x07, static_cast<std::uint8_t>(0xB0 + page)});
            Bytes data = {0x83, 0x30, 0x3C, 0x40};
            data.insert(data.end(), 128, fill);
            h.send(data);
        }
    };
    auto* d = static_cast<Display*>(h.board.device(0x3C));
    ASSERT_NE(d, nullptr);
    pass(0xFF);
    int lit = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 128; ++x) lit += d->pixel(x, y);
    EXPECT_EQ(lit, 128 * 64);
    pass(0x00);
    lit = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 128; ++x) lit += d->pixel(x, y);
    EXPECT_EQ(lit, 0);

    // Horizontal mode with a window: data fills the window row by row and
    // wraps inside it. Single-command control bytes (Co set) as well.
    h.send({0x0D, 0x30, 0x3C, 0x80, 0x20, 0x80, 0x00, 0x00, 0x21, 0x10, 0x11, 0x22, 0x02, 0x03});
    h.send({0x09, 0x30, 0x3C, 0x40, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06});
    // The 5th and 6th bytes wrapped back to the window's start.
    EXPECT_EQ(d->ram(2, 0x10), 0x05);
    EXPECT_EQ(d->ram(2, 0x11), 0x06);
    EXPECT_EQ(d->ram(3, 0x10), 0x03);
    EXPECT_EQ(d->ram(3, 0x11), 0x04);
    EXPECT_EQ(d->ram(2, 0x12), 0x00);
    EXPECT_FALSE(d->on());
    h.send({0x04, 0x30, 0x3C, 0x80, 0xAF});
    EXPECT_TRUE(d->on());
    EXPECT_TRUE(d->pixel(0x10, 16));   // page 2, bit 0 of 0x05
    EXPECT_FALSE(d->pixel(0x10, 17));  // bit 1
    std::string pbm = d->pbm();
    EXPECT_EQ(pbm.compare(0, 3, "P1\n"), 0);
    EXPECT_NE(pbm.find("128 64\n"), std::string::npos);
}

TEST(SimBoard, ReplyFaults) {
    // Selectors name the replies each fault acts on.
    Harness h(R"(
  [board.faults]
  no_reply = ["board:0x06"]
  delay_ms = { "slot:0x04" = 300 }
  drop_every = 3
  drop_match = "read"
  garbage = ["reset"]
  truncate = { "board:0x05" = 5 }
)");
    const std::int64_t t = 4000 * kMs;
    EXPECT_TRUE(h.send({0x03, 0x40, 0x00, 0x06}, t).empty());
    EXPECT_EQ(h.one({0x03, 0x40, 0x00, 0x07}, t).size(), 12u);  // other items unharmed
    auto late = h.send({0x03, 0x40, 0x01, 0x04}, t);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].sendAtNs, t + 300 * kMs);
    EXPECT_EQ(h.one({0x03, 0x40, 0x00, 0x05}, t), Bytes({0x07, 0x40, 0x00, 0x05, 64}));
    Bytes reset = h.one({0x02, 0x90, 0xFF}, t);
    ASSERT_EQ(reset.size(), 4u);
    EXPECT_NE(reset, kResetOk);
    int answered = 0;
    for (int i = 0; i < 9; ++i) answered += h.send({0x04, 0x04, 0x00, 0x20, 0}, t).size();
    EXPECT_EQ(answered, 6);                  // the 3rd, 6th and 9th read replies are lost
    EXPECT_EQ(h.send(kSync, t).size(), 1u);  // drops count reads only

    std::map<std::string, int> fates;
    for (const auto& e : h.entries("reply")) ++fates[e.str("fate")];
    EXPECT_EQ(fates["suppressed"], 1);
    EXPECT_EQ(fates["delayed"], 1);
    EXPECT_EQ(fates["truncated"], 1);
    EXPECT_EQ(fates["garbage"], 1);
    EXPECT_EQ(fates["dropped"], 3);
}

TEST(SimBoard, DuplicateAndForeignReplies) {
    // One register's read or one device's I2C read can be singled out; a
    // foreign copy leaves first, from the fault's address, last byte inverted.
    Harness h(R"(
  [board.faults]
  duplicate = ["read:0x10", "i2c_read"]
  foreign_reply = ["read:0x11", "board:0x06"]
)");
    std::array<std::uint8_t, 16> foreign = h.cfg.boards[0].addr;
    foreign[15] ^= 0x80;
    struct Case {
        Bytes request;
        std::vector<Bytes> replies;  // in sending order
        std::vector<bool> foreign;
    } cases[] = {
        {{0x04, 0x04, 0x00, 0x10, 0}, {{0x04, 0x04, 0x00, 0x10, 0x5a}, {0x04, 0x04, 0x00, 0x10, 0x5a}}, {false, false}},
        {{0x04, 0x04, 0x00, 0x11, 0}, {{0x04, 0x04, 0x00, 0x11, 0xff}, {0x04, 0x04, 0x00, 0x11, 0x00}}, {true, false}},
        {{0x04, 0x04, 0x00, 0x12, 0}, {{0x04, 0x04, 0x00, 0x12, 0x00}}, {false}},
        {{0x03, 0x20, 0x28, 0x03}, {{0x04, 0x20, 0x87, 5, 0x49}, {0x04, 0x20, 0x87, 5, 0x49}}, {false, false}},
        {{0x03, 0x40, 0x00, 0x06},
         {{0x0A, 0x40, 0x00, 0x06, 'T', '-', 'B', 'O', 'A', 'R', 0xBB},
          {0x0A, 0x40, 0x00, 0x06, 'T', '-', 'B', 'O', 'A', 'R', 'D'}},
         {true, false}},
    };
    for (const auto& c : cases) {
        auto r = h.send(c.request);
        ASSERT_EQ(r.size(), c.replies.size()) << toHex(c.request.data(), c.request.size());
        for (std::size_t i = 0; i < r.size(); ++i) {
            EXPECT_EQ(r[i].bytes, c.replies[i]) << toHex(c.request.data(), c.request.size()) << " reply " << i;
            EXPECT_EQ(r[i].foreign, c.foreign[i]);
        }
    }
    auto replies = h.entries("reply");
    ASSERT_EQ(replies.size(), 5u);
    EXPECT_EQ(replies[0].str("tag"), "read");
    EXPECT_EQ(replies[0].num("copies"), 2);
    EXPECT_EQ(replies[1].str("foreign_from"), "fe80::5e5c:81");
    EXPECT_EQ(replies[2].str("foreign_from"), "");
    EXPECT_EQ(replies[3].str("tag"), "i2c_read");
    EXPECT_EQ(replies[4].str("tag"), "board:0x06");

    Harness given("  [board.faults]\n  foreign_reply = [\"read\"]\n  foreign_address = \"fe80::99\"\n");
    EXPECT_EQ(given.cfg.boards[0].faults.foreignAddress, "fe80::99");
    EXPECT_THROW(Harness("  [board.faults]\n  foreign_address = \"fe80::5e5c:1\"\n"), ConfigError);
    EXPECT_THROW(Harness("  [board.faults]\n  duplicate = [\"read:16\"]\n"), ConfigError);
}

TEST(SimBoard, SilentBoardStopsAfterItsTime) {
    Harness h("  [board.faults]\n  silent_after_ms = 100\n");
    const std::int64_t t = 5000 * kMs;
    EXPECT_EQ(h.send(kSync, t, true).size(), 1u);
    EXPECT_EQ(h.send(kSync, t + 100 * kMs).size(), 1u);
    EXPECT_TRUE(h.send(kSync, t + 101 * kMs).empty());
    h.send({0x06, 0x00, 0x00, 0x20, 0x01, 0, 0}, t + 200 * kMs);
    EXPECT_EQ(h.board.reg(0, 0, 0x20), -1);  // not played either
    EXPECT_TRUE(h.entries("datagram").back().flag("silent"));

    Harness mute("  [board.faults]\n  silent_after_ms = 0\n");
    EXPECT_EQ(mute.send(kSync, t, true).size(), 1u);                  // answers discovery ...
    EXPECT_TRUE(mute.send({0x03, 0x40, 0x00, 0x00}, t + 1).empty());  // ... then nothing

    // A spell of silence: lost while it lasts, played and answered after.
    Harness spell("  [board.faults]\n  silent_after_ms = 100\n  silent_for_ms = 50\n");
    EXPECT_EQ(spell.send(kSync, t, true).size(), 1u);
    EXPECT_TRUE(spell.send(kSync, t + 150 * kMs).empty());
    spell.send({0x06, 0x00, 0x00, 0x20, 0x01, 0, 0}, t + 120 * kMs);
    EXPECT_EQ(spell.board.reg(0, 0, 0x20), -1);
    EXPECT_EQ(spell.send(kSync, t + 151 * kMs).size(), 1u);
    spell.send({0x06, 0x00, 0x00, 0x20, 0x02, 0, 0}, t + 160 * kMs);
    EXPECT_EQ(spell.board.reg(0, 0, 0x20), 2);

    // Counted from a signal: none before it, however long after the first datagram.
    Harness cue("  [board.faults]\n  silent_after_ms = 100\n  silent_for_ms = 50\n  silent_from_signal = true\n");
    EXPECT_EQ(cue.send(kSync, t, true).size(), 1u);
    EXPECT_EQ(cue.send(kSync, t + 1000 * kMs).size(), 1u);
    cue.board.signalled(t + 2000 * kMs);
    EXPECT_EQ(cue.send(kSync, t + 2100 * kMs).size(), 1u);
    EXPECT_TRUE(cue.send(kSync, t + 2101 * kMs).empty());
    EXPECT_EQ(cue.send(kSync, t + 2151 * kMs).size(), 1u);
}

TEST(SimBoard, MalformedCommandsAreRecordedAndSkipped) {
    Harness h;
    struct Case {
        Bytes datagram;
        const char* status;
    } cases[] = {
        {{0x06, 0x00, 0x00}, "truncated"},  // L beyond the datagram
        {{0x06}, "truncated"},              // ... with no code byte either
        {{0x05, 0x00, 0x00, 0x20, 0x01, 0x00}, "bad_length"},
        {{0x02, 0x77, 0x00}, "unknown_code"},
        {{0x04, 0x01, 0x07, 0x10, 0x00}, "bad_unit"},
        {{0x02, 0x80, 0x00}, "bad_length"},  // sync with a payload
        {{0x01, 0x40}, "bad_length"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(h.send(c.datagram).empty());
        EXPECT_EQ(h.entries("command").back().str("status"), c.status) << toHex(c.datagram.data(), c.datagram.size());
    }
    // Commands before a malformed one still run; after a bad length the
    // next command is found by L; a truncated tail ends the datagram.
    auto r = h.send({0x01, 0x80, 0x02, 0x77, 0x00, 0x01, 0x80, 0x09, 0x80});
    EXPECT_EQ(r.size(), 2u);
    EXPECT_TRUE(h.send({}).empty());
    EXPECT_EQ(h.entries("datagram").back().num("len"), 0);
    // A datagram larger than the board's buffer is flagged.
    h.send(Bytes(65, 0x00));
    EXPECT_TRUE(h.entries("datagram").back().flag("over_buffer"));
}

TEST(SimBoard, SurvivesRandomAndMutatedDatagrams) {
    Harness h(R"(
  [board.faults]
  garbage = ["sync"]
  truncate = { "query" = 2 }
)",
              "buffer_size = 1024");
    std::mt19937 rng(12345);
    const Bytes valid[] = {
        {0x06, 0x00, 0x00, 0x20, 0xC7, 3, 21}, {0x04, 0x04, 0x10, 0x20, 5},    {0x03, 0x20, 0x28, 0x03},
        {0x04, 0x30, 0x3C, 0x00, 0xAF},        {0x04, 0x40, 0x00, 0x0C, 0x28}, {0x02, 0x90, 0xFF},
        {0x06, 0x08, 0x00, 1, 2, 3, 4},        {0x05, 0x50, 0x00, 0x0A, 1, 2}, {0x04, 0x01, 0x00, 0x10, 0x00},
    };
    std::size_t replies = 0;
    std::int64_t t = 6000 * kMs;
    for (int i = 0; i < 20000; ++i) {
        Bytes d;
        if (i % 2) {
            d.resize(rng() % 300);
            for (auto& b : d) b = static_cast<std::uint8_t>(rng());
        } else {
            for (int k = rng() % 5; k >= 0; --k) {
                const Bytes& v = valid[rng() % (sizeof valid / sizeof valid[0])];
                d.insert(d.end(), v.begin(), v.end());
            }
            for (int k = rng() % 4; k > 0; --k) d[rng() % d.size()] = static_cast<std::uint8_t>(rng());
            if (rng() % 4 == 0) d.resize(rng() % (d.size() + 1));
        }
        std::vector<Reply> out;
        // Mostly once the board is idle again, else into a fuller buffer.
        t = rng() % 4 ? std::max(t + 1000, h.board.timelineNs()) : t + 1000;
        h.board.receive(d.data(), d.size(), rng() % 2, h.from, t, i, out);
        for (const auto& r : out) {
            // A reply never claims more bytes than it carries (truncation and
            // noise aside, which are asked for here).
            ASSERT_FALSE(r.bytes.empty());
            ASSERT_LE(r.bytes.size(), 256u);
        }
        replies += out.size();
    }
    EXPECT_GT(replies, 1000u);
    // Still a working board afterwards.
    EXPECT_EQ(h.send({0x04, 0x40, 0x00, 0x0C, 0x28}).size(), 1u);
    std::vector<RecordEntry> all;
    std::istringstream in(h.record.str());
    std::string error;
    EXPECT_TRUE(readRecord(in, all, &error)) << error;  // every line of the record parses
}

namespace {
// A datagram of len bytes: a wait of waitMs (if any), keep-alives, and a
// sync to end it when there is room, so that whether it was played shows in
// its reply.
Bytes datagram(std::size_t len, int waitMs = 0) {
    Bytes d;
    if (waitMs) d = {0x04, 0x01, 0x01, static_cast<std::uint8_t>(waitMs), 0x00};
    d.resize(len >= d.size() + 2 ? len - 2 : len, 0x00);
    if (d.size() < len) d.insert(d.end(), {0x01, 0x80});
    return d;
}
}  // namespace

TEST(SimBoard, BufferHoldsEachDatagramUntilPlayedAndDropsWhatDoesNotFit) {
    // 64-byte buffer. Each datagram: when it arrives (us after t0), its
    // length and wait; what the board makes of it: bytes held at its
    // arrival, taken (else dropped for want of buffer), chained (the
    // board was still playing) and when it starts (us after t0).
    struct Send {
        std::int64_t atUs;
        std::size_t len;
        int waitMs;
        bool multicast;
        std::int64_t held;
        bool taken, chained;
        std::int64_t startUs;
    };
    struct Case {
        const char* what;
        std::vector<Send> sends;
    } cases[] = {
        {"fits exactly", {{0, 20, 10, false, 0, true, false, 0}, {1000, 44, 0, false, 20, true, true, 10000}}},
        {"one byte over, a ns before the end",
         {{0, 20, 10, false, 0, true, false, 0}, {9999, 45, 0, false, 20, false, false, 0}}},
        {"freed once played", {{0, 20, 10, false, 0, true, false, 0}, {10000, 64, 0, false, 0, true, false, 10000}}},
        {"keep-alives count",
         {{0, 63, 10, false, 0, true, false, 0},
          {1000, 1, 0, false, 63, true, true, 10000},
          {2000, 1, 0, false, 64, false, false, 0}}},
        {"discovery counts", {{0, 63, 10, false, 0, true, false, 0}, {1000, 2, 0, true, 63, false, false, 0}}},
        {"longer than the buffer", {{0, 65, 0, false, 0, false, false, 0}}},
        {"a chain frees datagram by datagram",
         {{0, 20, 10, false, 0, true, false, 0},
          {1000, 20, 10, false, 20, true, true, 10000},
          {15000, 44, 0, false, 20, true, true, 20000},
          {15000, 1, 0, false, 64, false, false, 0}}},
    };
    const std::int64_t t0 = 7000 * kMs;
    for (const auto& c : cases) {
        Harness h;
        for (std::size_t i = 0; i < c.sends.size(); ++i) {
            const Send& s = c.sends[i];
            const std::string what = std::string(c.what) + ", datagram " + std::to_string(i);
            const Bytes d = datagram(s.len, s.waitMs);
            ASSERT_EQ(d.size(), s.len);
            auto r = h.send(d, t0 + s.atUs * 1000, s.multicast);
            EXPECT_EQ(r.size(), s.taken && s.len > 1 ? 1u : 0u) << what;
            const RecordEntry line = h.entries("datagram").back();
            EXPECT_EQ(line.num("held"), s.held) << what;
            EXPECT_EQ(line.flag("overflow"), !s.taken) << what;
            EXPECT_EQ(line.flag("over_buffer"), s.len > 64) << what;
            EXPECT_EQ(line.has("chained"), s.taken) << what;
            if (s.taken) {
                EXPECT_EQ(line.flag("chained"), s.chained) << what;
                EXPECT_EQ(line.num("start_ns"), t0 + s.startUs * 1000) << what;
            }
            int commands = 0;
            for (const auto& e : h.entries("command")) commands += e.num("seq") == static_cast<std::int64_t>(h.seq);
            EXPECT_EQ(commands > 0, s.taken) << what;  // a dropped datagram is not played
        }
    }
}

TEST(SimBoard, ClockPpmScalesTheBoardsTimeWithoutDrift) {
    // Ten datagrams of 1 s of waits each, all taken at t0: one 990 ms wait,
    // 3333 of 3 us and a write with 1 us of wait bytes. Converting each 3 us
    // step by itself would drift by about 10 us.
    Bytes second = {0x04, 0x01, 0x01, 0xDE, 0x03};
    for (int i = 0; i < 3333; ++i) second.insert(second.end(), {0x04, 0x01, 0x00, 0x03, 0x00});
    second.insert(second.end(), {0x06, 0x00, 0x00, 0x20, 0x01, 1, 0});
    struct Case {
        const char* ppm;
        std::int64_t endNs, within;  // after t0 + 10 s
    } cases[] = {
        {"0", 0, 0},
        {"100.0", -1000000, 1000},  // fast: 1 ms early
        {"-100", 1000000, 1000},    // slow: 1 ms late
    };
    const std::int64_t t0 = 9000 * kMs;
    for (const auto& c : cases) {
        Harness h("", std::string("buffer_size = 1000000\nclock_ppm = ") + c.ppm);
        for (int i = 0; i < 10; ++i) h.send(second, t0);
        EXPECT_NEAR(static_cast<double>(h.board.timelineNs() - t0 - 10000 * kMs), static_cast<double>(c.endNs),
                    static_cast<double>(c.within))
            << c.ppm << " ppm";
        // Idle again, the board starts from the arrival: 1 ms of its time on.
        h.send(datagram(7, 1), t0 + 20000 * kMs);
        EXPECT_NEAR(static_cast<double>(h.board.timelineNs() - t0 - 20001 * kMs), c.endNs / 10000.0, 1.0) << c.ppm;
    }
}

TEST(SimBoard, JitterDelaysWithinBoundsInOrderAndReproducibly) {
    // Syncs every ms, 5 ms of jitter: each reaches the board 0 to 5 ms after
    // its wire_ns, never before the one before, and is answered then. The
    // delays, by seed.
    auto delays = [](const char* seed) {
        Harness h("", std::string("jitter_ms = 5\nseed = ") + seed);
        std::vector<std::int64_t> out;
        for (std::int64_t i = 0, last = 0; i < 200; ++i) {
            const std::int64_t wire = 11000 * kMs + i * kMs;
            auto r = h.send(kSync, wire);
            const RecordEntry line = h.entries("datagram").back();
            const std::int64_t arrival = line.num("arrival_ns");
            EXPECT_EQ(line.num("wire_ns"), wire);
            EXPECT_TRUE(arrival >= std::max(wire, last) && arrival <= wire + 5 * kMs) << i;
            EXPECT_EQ(r.at(0).sendAtNs, arrival);
            out.push_back(arrival - wire);
            last = arrival;
        }
        return out;
    };
    const auto d = delays("7");
    EXPECT_EQ(d, delays("7"));
    EXPECT_NE(d, delays("8"));
    // Spread over the range, not one delay.
    EXPECT_LT(*std::min_element(d.begin(), d.end()), kMs);
    EXPECT_GT(*std::max_element(d.begin(), d.end()), 4 * kMs);
    Harness plain;
    plain.send(kSync);
    EXPECT_FALSE(plain.entries("datagram").back().has("wire_ns"));
}
