// The manager's chip access and board commands over chips and transports of
// the test's own.
#include <gtest/gtest.h>

#include "support/chip_test_util.h"
#include "core/chip_access.h"

namespace vesk {
namespace {

using test::makeRecord;
using test::RecordSpec;
using Lines = std::vector<std::string>;

Lines take(fake::FakeBoardLink* t) {
    Lines out;
    for (const auto& e : t->board().snapshot()) out.push_back((e.isRequest ? "R " : "") + test::hex(e.bytes));
    t->board().clear();
    return out;
}

// Two boards: A with a fixed YM2151 (slot 0), a variable-clock YM2151
// (slot 1) and a fixed YM2203 (slot 2); B with a fixed YM2151 (slot 0).
class Access : public ::testing::Test {
protected:
    void SetUp() override {
        transportList = {a.get(), b.get()};
        records = {
            makeRecord(RecordSpec{"YM2151", 4000000, 0, false, false, "", "fe80::a"}),
            makeRecord(RecordSpec{"YM2151", 3579545, 1, true, false, "", "fe80::a"}),
            makeRecord(RecordSpec{"YM2203", 4000000, 2, false, true, "", "fe80::a"}),
            makeRecord(RecordSpec{"YM2151", 4000000, 0, false, false, "", "fe80::b"}),
        };
        ChipLookup lookup;
        buildChipTable({a.get(), b.get()}, records.data(), 4, chips, lookup);
        take(a.get());
        take(b.get());
    }
    void TearDown() override { destroyChipTable(chips); }

    ChipAccess access() { return ChipAccess{chips, transportList, cache}; }
    bool inUse(std::size_t i) { return static_cast<Chip*>(chips[i])->inUse(); }

    std::unique_ptr<fake::FakeBoardLink> a = std::make_unique<fake::FakeBoardLink>("fe80::a");
    std::unique_ptr<fake::FakeBoardLink> b = std::make_unique<fake::FakeBoardLink>("fe80::b");
    std::vector<BoardLink*> transportList;
    std::vector<VeskChipInfo> records;
    std::vector<VeskChip*> chips;
    I2cProbeCache cache;
};

TEST_F(Access, GetChipByNameAndClockUntilReleased) {
    EXPECT_EQ(access().getChip("YM2151", 4000000), chips[0]);
    EXPECT_TRUE(take(a.get()).empty()) << "taking a chip sends nothing";
    // The next free YM2151 is the variable-clock one: set to the clock.
    EXPECT_EQ(access().getChip("YM2151", 4000000), chips[1]);
    EXPECT_EQ(take(a.get()), Lines{"06 08 01 00 09 3d 00"});
    EXPECT_EQ(access().getChip("YM2151", 4000000), chips[3]) << "then the one on the other board";
    EXPECT_EQ(access().getChip("YM2151", 4000000), nullptr);
    EXPECT_EQ(access().getChip("ym2151", 4000000), nullptr) << "names match case-sensitively";
    EXPECT_EQ(access().getChip(nullptr, 4000000), nullptr);
    EXPECT_TRUE(access().releaseChip(chips[0]));
    EXPECT_FALSE(inUse(0));
    EXPECT_TRUE(inUse(1));
    EXPECT_EQ(access().getChip("YM2151", 4000000), chips[0]);
    EXPECT_TRUE(take(a.get()).empty()) << "giving back sends nothing";
}

TEST_F(Access, GetChipPrefersAnEqualClockAndSetsVariableClocksOnlyWhenNeeded) {
    // chips[1] already runs at 3579545: handed out without a clock command.
    EXPECT_EQ(access().getChip("YM2151", 3579545), chips[1]);
    EXPECT_TRUE(take(a.get()).empty());
    access().releaseAllChips();
    // Another clock: only the variable-clock chip can take it.
    EXPECT_EQ(access().getChip("YM2151", 3000000), chips[1]);
    EXPECT_EQ(take(a.get()), Lines{"06 08 01 c0 c6 2d 00"});
    EXPECT_EQ(chips[1]->getClock(), 3000000u);
    access().releaseAllChips();
    // A clock the slot refuses: handed out all the same, clock unchanged.
    EXPECT_EQ(access().getChip("YM2151", 100), chips[1]);
    EXPECT_EQ(chips[1]->getClock(), 3000000u);
    EXPECT_EQ(access().getChip("YM2203", 3000000), nullptr);
}

TEST_F(Access, GetChipByIndex) {
    EXPECT_EQ(access().getChipByIndex(4, 4000000), nullptr) << "index equal to the count";
    EXPECT_EQ(access().getChipByIndex(0, 3579545), nullptr) << "fixed clock differs";
    EXPECT_EQ(access().getChipByIndex(0, 4000000), chips[0]);
    EXPECT_EQ(access().getChipByIndex(0, 4000000), nullptr) << "in use";
    // A variable-clock chip always gets the clock command, even an equal one.
    EXPECT_EQ(access().getChipByIndex(1, 3579545), chips[1]);
    EXPECT_EQ(take(a.get()), Lines{"06 08 01 99 9e 36 00"});
}

TEST_F(Access, GetChipBySlot) {
    EXPECT_EQ(access().getChipBySlot("fe80::b", 0, 4000000), chips[3]);
    EXPECT_EQ(access().getChipBySlot("fe80::b", 0, 4000000), nullptr) << "in use";
    EXPECT_EQ(access().getChipBySlot("fe80::a", 2, 3579545), nullptr) << "fixed clock differs";
    EXPECT_EQ(access().getChipBySlot("FE80::A", 2, 4000000), nullptr) << "addresses match byte for byte";
    EXPECT_EQ(access().getChipBySlot("fe80::a", 7, 4000000), nullptr);
    EXPECT_EQ(access().getChipBySlot(nullptr, 0, 4000000), nullptr);
    EXPECT_EQ(access().getChipBySlot("fe80::a", 1, 3579545), chips[1]);
    EXPECT_EQ(take(a.get()), Lines{"06 08 01 99 9e 36 00"});
}

TEST_F(Access, ReleaseOnlyTheManagersChips) {
    VeskChipInfo foreignRecord = makeRecord(RecordSpec{"YM2151"});
    std::unique_ptr<Chip> foreign(createChip(a.get(), &foreignRecord));
    EXPECT_FALSE(access().releaseChip(foreign.get()));
    EXPECT_FALSE(access().releaseChip(nullptr));
    access().getChipByIndex(0, 4000000);
    access().getChipByIndex(3, 4000000);
    access().releaseAllChips();
    for (std::size_t i = 0; i < chips.size(); ++i) EXPECT_FALSE(inUse(i)) << i;
}

TEST_F(Access, ResetBoardsTriesEveryBoard) {
    EXPECT_TRUE(access().resetBoards());
    auto log = a->board().snapshot();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(test::hex(log[0].bytes), "02 90 ff");
    EXPECT_EQ(log[0].capacity, 16u);
    take(a.get());
    take(b.get());

    a->board().silent = true;
    EXPECT_FALSE(access().resetBoards());
    EXPECT_EQ(take(b.get()), Lines{"R 02 90 ff"}) << "the second board is still tried";

    a->board().silent = false;
    b->board().answer(0x90, {0x03, 0x90, 0x4F});
    EXPECT_FALSE(access().resetBoards()) << "a short reply is no OK";

    std::vector<BoardLink*> none;
    std::vector<VeskChip*> noChips;
    EXPECT_TRUE((ChipAccess{noChips, none, cache}.resetBoards()));
    EXPECT_TRUE((ChipAccess{noChips, none, cache}.resetChips()));
}

TEST_F(Access, ResetChipsResetsEveryChipEvenAfterAFailure) {
    // chips[2] can reset its slot; its board answers something else.
    a->board().answer(0x90, {0x03, 0x90, 0x4E, 0x47});
    EXPECT_FALSE(access().resetChips());
    std::size_t writesB = 0;
    for (const auto& e : b->board().snapshot()) writesB += !e.isRequest;
    EXPECT_EQ(writesB, 242u) << "the last chip's silence table still went out";
    EXPECT_TRUE(access().resetChips());
}

// ---------------------------------------------------------------- I2C

std::vector<std::uint8_t> probeReply(std::uint8_t address, bool present) {
    return {0x05, 0x40, 0x00, 0x0C, address, static_cast<std::uint8_t>(present)};
}

TEST_F(Access, ProbeAsksOnceAndCachesTheAnswer) {
    a->board().answer(0x40, probeReply(0x28, true));
    a->board().answer(0x40, probeReply(0x50, false));
    EXPECT_TRUE(access().i2cProbe("fe80::a", 0x28));
    EXPECT_FALSE(access().i2cProbe("fe80::a", 0x50));
    auto log = a->board().snapshot();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(test::hex(log[0].bytes), "04 40 00 0c 28");
    EXPECT_EQ(log[0].capacity, 16u);
    take(a.get());
    EXPECT_TRUE(access().i2cProbe("fe80::a", 0x28));
    EXPECT_FALSE(access().i2cProbe("fe80::a", 0x50));
    EXPECT_TRUE(take(a.get()).empty()) << "both answers came from the cache";

    // No reply, or one too short to hold its answer byte: nothing cached.
    a->board().answer(0x40, {0x05, 0x40, 0x00});
    EXPECT_FALSE(access().i2cProbe("fe80::a", 0x30));
    EXPECT_FALSE(access().i2cProbe("fe80::a", 0x30));
    EXPECT_EQ(take(a.get()).size(), 2u);
    EXPECT_EQ(cache.entries.at("fe80::a").count(0x30), 0u);

    EXPECT_FALSE(access().i2cProbe("fe80::c", 0x28)) << "no such board";
    EXPECT_FALSE(access().i2cProbe(nullptr, 0x28));
    EXPECT_EQ(cache.entries.count("fe80::c"), 0u);
}

TEST_F(Access, I2cWriteInChunksEachFollowedByASync) {
    b->board().answer(0x40, probeReply(0x3C, true));
    std::vector<std::uint8_t> data(255);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    EXPECT_TRUE(access().i2cWrite("fe80::b", 0x3C, data.data(), 255));
    auto log = b->board().snapshot();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_TRUE(log[0].isRequest);  // the probe
    EXPECT_FALSE(log[1].isRequest);
    ASSERT_EQ(log[1].bytes.size(), 256u);
    EXPECT_EQ(test::hex({log[1].bytes.begin(), log[1].bytes.begin() + 5}), "ff 30 3c 00 01");
    EXPECT_EQ(log[1].bytes.back(), 252);
    EXPECT_EQ(test::hex(log[2].bytes), "01 80");
    EXPECT_EQ(log[2].capacity, 16u);
    EXPECT_EQ(test::hex(log[3].bytes), "04 30 3c fd fe");
    EXPECT_EQ(test::hex(log[4].bytes), "01 80");
    take(b.get());

    EXPECT_FALSE(access().i2cWrite("fe80::b", 0x3C, data.data(), 0));
    EXPECT_FALSE(access().i2cWrite("fe80::b", 0x3C, nullptr, 4));
    EXPECT_TRUE(take(b.get()).empty());

    // A sync left unanswered (or answered with a cut reply) fails the write,
    // and what follows it is not sent.
    b->board().silent = true;
    EXPECT_FALSE(access().i2cWrite("fe80::b", 0x3C, data.data(), 255));
    EXPECT_EQ(take(b.get()).size(), 2u) << "the first chunk and its sync only";
    b->board().silent = false;
    b->board().answer(0x80, {0x03, 0x80});
    EXPECT_FALSE(access().i2cWrite("fe80::b", 0x3C, data.data(), 1));
    // An absent device is not written to.
    b->board().answer(0x40, probeReply(0x3D, false));
    EXPECT_FALSE(access().i2cWrite("fe80::b", 0x3D, data.data(), 1));
}

TEST_F(Access, I2cReadCommandAndReply) {
    fake::Board& board = a->board();
    board.answer(0x40, probeReply(0x50, true));
    board.answer(0x20, {0x03, 0x20, 0xAB, 0xCD});
    std::uint8_t out[8] = {};
    const std::uint8_t wr[2] = {0x10, 0x20};
    // The first read costs a probe and the read, later ones the read alone.
    EXPECT_EQ(access().i2cRead("fe80::a", 0x50, out, 8, 2, wr, 2), 2u);
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0xCD);
    EXPECT_EQ(take(a.get()), (Lines{"R 04 40 00 0c 50", "R 05 20 50 02 10 20"}));

    // Capacity 2, read length 3: the board is asked for 2; no write data.
    board.answer(0x20, {0x03, 0x20, 0x01, 0x02});
    EXPECT_EQ(access().i2cRead("fe80::a", 0x50, out, 2, 3, nullptr, 0), 2u);
    EXPECT_EQ(take(a.get()), Lines{"R 03 20 50 02"});

    // Write length given without data: zeros. 255 bytes wanted: 254 asked.
    std::uint8_t big[255];
    EXPECT_EQ(access().i2cRead("fe80::a", 0x50, big, 255, 255, nullptr, 3), 0u);
    EXPECT_EQ(take(a.get()), Lines{"R 06 20 50 fe 00 00 00"});
    auto log = board.snapshot();

    // Write data longer than 252 bytes is cut to 252.
    std::vector<std::uint8_t> longWrite(255, 0x77);
    access().i2cRead("fe80::a", 0x50, out, 8, 1, longWrite.data(), 255);
    log = board.snapshot();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].bytes.size(), 256u);
    EXPECT_EQ(log[0].bytes[0], 255);
    EXPECT_EQ(log[0].capacity, 256u);
    take(a.get());
}

TEST_F(Access, I2cReadNeverStoresPastTheCallersBuffer) {
    fake::Board& board = a->board();
    board.answer(0x40, probeReply(0x50, true));
    struct Case {
        std::vector<std::uint8_t> reply;
        std::uint32_t result;
    };
    const Case cases[] = {
        {{0x05, 0x20, 1, 2, 3, 4}, 0},  // four bytes for a buffer of two
        {{0x04, 0x20, 1}, 0},           // claims three bytes, carries one
        {{0x01, 0x20}, 0},              // no data
        {{}, 0},                        // no reply
        {{0x03, 0x20, 9, 8}, 2},
    };
    for (const Case& c : cases) {
        std::uint8_t out[4] = {0xEE, 0xEE, 0x5A, 0x5A};
        board.answer(0x20, c.reply);
        EXPECT_EQ(access().i2cRead("fe80::a", 0x50, out, 2, 2, nullptr, 0), c.result) << test::hex(c.reply);
        EXPECT_EQ(out[2], 0x5A) << "wrote past the buffer";
        EXPECT_EQ(out[3], 0x5A);
        if (c.result == 0 && c.reply.size() > 3) {
            EXPECT_EQ(out[0], 0);
            EXPECT_EQ(out[1], 0);
        }
    }
    board.answer(0x20, {0x03, 0x20, 9, 8});
    EXPECT_EQ(access().i2cRead("fe80::a", 0x50, nullptr, 2, 2, nullptr, 0), 0u);
    EXPECT_EQ(access().i2cRead("fe80::z", 0x50, nullptr, 2, 2, nullptr, 0), 0u);
}

TEST_F(Access, OutputVolumeWritesAndReadsTheAttenuator) {
    fake::Board& board = a->board();
    board.answer(0x40, probeReply(0x28, true));
    struct Case {
        std::uint32_t value, channel;
        const char* sent;
    };
    const Case cases[] = {
        {70, 0, "04 30 28 87 06"},
        {63, 1, "04 30 28 87 7f"},
        {5, 2, "05 30 28 87 05 45"},
        {0, 0xFFFFFFFF, "05 30 28 87 00 40"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(access().setOutputVolume("fe80::a", c.value, c.channel, 0));
        Lines sent = take(a.get());
        sent.erase(std::remove(sent.begin(), sent.end(), "R 04 40 00 0c 28"), sent.end());
        EXPECT_EQ(sent, (Lines{c.sent, "R 01 80"})) << c.value << " " << c.channel;
    }
    EXPECT_FALSE(access().setOutputVolume("fe80::a", 10, 0, 1));
    EXPECT_TRUE(take(a.get()).empty()) << "inhibited";
    EXPECT_FALSE(access().setOutputVolume("fe80::z", 10, 0, 0));

    std::uint32_t level = 99;
    board.answer(0x20, {0x04, 0x20, 0x05, 0x47, 0x80});
    EXPECT_TRUE(access().getOutputVolume("fe80::a", &level, 1, 0));
    EXPECT_EQ(level, 7u);
    EXPECT_EQ(take(a.get()), Lines{"R 03 20 28 03"});
    board.answer(0x20, {0x04, 0x20, 0x05, 0x47, 0x80});
    EXPECT_TRUE(access().getOutputVolume("fe80::a", &level, 0, 0));
    EXPECT_EQ(level, 5u);
    board.answer(0x20, {0x04, 0x20, 0x05, 0x47, 0x80});
    EXPECT_FALSE(access().getOutputVolume("fe80::a", &level, 2, 0)) << "other channels never match";
    board.answer(0x20, {0x03, 0x20, 0x85, 0xC7});
    EXPECT_FALSE(access().getOutputVolume("fe80::a", &level, 0, 0));
    take(a.get());
    EXPECT_FALSE(access().getOutputVolume("fe80::a", &level, 0, 1));
    EXPECT_FALSE(access().getOutputVolume("fe80::a", nullptr, 0, 0));
    EXPECT_TRUE(take(a.get()).empty());
}

}  // namespace
}  // namespace vesk
