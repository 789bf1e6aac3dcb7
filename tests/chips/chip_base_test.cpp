// The shared chip behaviour: construction, clock, resets, accessors, the
// wait arithmetic and the silence loop's syncs.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "support/alloc_hooks.h"
#include "support/chip_test_util.h"
#include "chips/opn.h"

namespace vesk {
namespace {

using test::ChipOnBoard;
using test::RecordSpec;
using Lines = std::vector<std::string>;

TEST(CycleWait, SinglePrecisionAndLowByte) {
    struct Case {
        std::uint32_t cycles, clock;
        std::uint8_t wait;
    };
    const Case cases[] = {
        // At 4 MHz (3.99 truncates to 3) and at 1 MHz (every wait is its cycles).
        {12, 4000000, 3},
        {17, 4000000, 5},
        {32, 4000000, 8},
        {47, 4000000, 12},
        {83, 4000000, 21},
        {84, 4000000, 21},
        {576, 4000000, 144},
        {12, 1000000, 12},
        {17, 1000000, 17},
        {84, 1000000, 84},
        // Other common clocks.
        {17, 8000000, 3},
        {83, 8000000, 11},
        {576, 8000000, 72},
        {12, 3579545, 4},
        {84, 3579545, 24},
        {576, 3579545, 161},
        // Low 8 bits only: 576 -> 64, 1152 -> 128, 1077 -> 53 (+1 below).
        {576, 1000000, 64},
        {576, 500000, 128},
        // Clocks where single precision rounds x.00999.. up to x+1 and exact
        // or double arithmetic would not.
        {12, 2992519, 5},
        {17, 2425107, 8},
        {84, 954437, 89},
        {576, 534814, 54},
        // No clock at all: no wait rather than a division by zero.
        {84, 0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cycleWait(c.cycles, c.clock), c.wait) << c.cycles << " cycles at " << c.clock << " Hz";
}

TEST(ChipConstruction, ClockCommandOnlyForVariableClockInRangeThenSlotReset) {
    struct Case {
        bool variable;
        std::uint32_t clock;
        std::uint32_t slot;
        Lines sent;
    };
    const Case cases[] = {
        {true, 4000000, 2, {"06 08 02 00 09 3d 00", "R 02 90 04"}},
        {true, 500000, 0, {"06 08 00 20 a1 07 00", "R 02 90 01"}},
        {true, 150000000, 7, {"06 08 07 80 d1 f0 08", "R 02 90 80"}},
        {true, 499999, 1, {"R 02 90 02"}},
        {true, 150000001, 1, {"R 02 90 02"}},
        {false, 4000000, 3, {"R 02 90 08"}},
        // Slots above 7 cannot be named in the mask.
        {false, 4000000, 8, {"R 02 90 00"}},
    };
    for (const Case& c : cases) {
        RecordSpec spec;
        spec.name = "MYSTERY";  // no set-up after the shared construction
        spec.variableClock = c.variable;
        spec.clock = c.clock;
        spec.slot = c.slot;
        ChipOnBoard cb(spec);
        EXPECT_EQ(cb.take(), c.sent) << "clock " << c.clock << " slot " << c.slot;
        EXPECT_EQ(ChipTestAccess::slotNibble(*cb.chip), static_cast<std::uint8_t>(c.slot << 4));
        EXPECT_FALSE(cb.chip->inUse());
        EXPECT_EQ(cb.chip->takeActivity(), 0);
        EXPECT_EQ(cb.chip->getSlot(), c.slot);
        // The reset request takes a 256-byte reply with no extra time.
    }
}

TEST(ChipConstruction, ResetRequestShape) {
    RecordSpec spec;
    spec.name = "MYSTERY";
    ChipOnBoard cb(spec, 300);
    auto log = cb.board().snapshot();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].isRequest);
    EXPECT_EQ(log[0].capacity, 256u);
    EXPECT_EQ(log[0].extraSeconds, 0u);
    EXPECT_EQ(ChipTestAccess::flushThreshold(*cb.chip), 150u);
}

TEST(ChipClock, SetClockRangeFlagAndFixedClocks) {
    struct Case {
        bool variable;
        std::uint32_t requested;
        std::uint8_t flag;
        bool result;
        Lines sent;
        std::uint32_t clockAfter;
    };
    const Case cases[] = {
        {true, 499999, 0, false, {}, 4000000},
        {true, 500000, 0, true, {"06 08 01 20 a1 07 00"}, 500000},
        {true, 150000000, 0, true, {"06 08 01 80 d1 f0 08"}, 150000000},
        {true, 150000001, 0, false, {}, 4000000},
        {true, 3579545, 1, true, {"06 08 81 99 9e 36 00"}, 3579545},
        // Refused but equal to the current clock: true, nothing sent.
        {false, 4000000, 0, true, {}, 4000000},
        {false, 3579545, 0, false, {}, 4000000},
    };
    for (const Case& c : cases) {
        RecordSpec spec;
        spec.slot = 1;
        spec.variableClock = c.variable;
        ChipOnBoard cb(spec);
        cb.take();
        EXPECT_EQ(cb.chip->setClock(c.requested, c.flag), c.result) << c.requested;
        EXPECT_EQ(cb.take(), c.sent) << c.requested;
        EXPECT_EQ(cb.chip->getClock(), c.clockAfter);
        EXPECT_EQ(cb.record.clock, c.clockAfter) << "the record follows the clock";
    }
}

TEST(ChipClock, SetClockRecomputesWaits) {
    RecordSpec spec;
    spec.variableClock = true;
    ChipOnBoard cb(spec);
    cb.take();
    ASSERT_TRUE(cb.chip->setClock(8000000, 0));
    cb.take();
    cb.chip->write(0x20, 0xC7);
    EXPECT_EQ(cb.take(), Lines{"06 00 00 20 c7 03 0b"});
}

TEST(ChipReset, HardwareResetOnlyWhenCapableSilenceAlways) {
    struct Case {
        bool capable;
        std::vector<std::uint8_t> reply;  // to the slot reset; empty: none
        bool result;
    };
    const Case cases[] = {
        {false, {}, true},
        {true, {0x03, 0x90, 0x4F, 0x4B}, true},
        {true, {0x03, 0x90, 0x4E, 0x47}, false},
        {true, {}, false},
    };
    for (const Case& c : cases) {
        RecordSpec spec;
        spec.name = "AY8910";
        spec.hardwareReset = c.capable;
        spec.slot = 4;
        ChipOnBoard cb(spec);
        cb.take();
        cb.board().answer(0x90, c.reply);
        EXPECT_EQ(cb.chip->reset(), c.result);
        Lines sent = cb.take();
        std::size_t writes = sent.size();
        if (c.capable) {
            ASSERT_FALSE(sent.empty());
            EXPECT_EQ(sent.front(), "R 02 90 10");
            --writes;
        }
        EXPECT_EQ(writes, 16u) << "the PSG silence table follows in every case";
    }
}

TEST(ChipAccessors, NameAddressSlot) {
    RecordSpec spec;
    spec.name = "ABCDEFGHIJKLMNOP";  // fills the 16-byte field, no terminator
    spec.address = "fe80::abcd:1234";
    spec.slot = 5;
    ChipOnBoard cb(spec);
    EXPECT_STREQ(cb.chip->getName(), "ABCDEFGHIJKLMNOP");
    EXPECT_STREQ(cb.chip->getAddress(0), "fe80::abcd:1234");
    EXPECT_EQ(cb.chip->getAddress(1), nullptr);
    EXPECT_EQ(cb.chip->getAddress(-1), nullptr);
    EXPECT_EQ(cb.chip->getSlot(), 5u);
    SampleBlock block{nullptr, 0, 0, 0};
    EXPECT_TRUE(cb.chip->uploadSampleMemory(&block)) << "only the YM2610+H takes samples";
}

// Positions (1-based, in writes) after which the silence loop asked for a
// sync, and the total number of writes.
std::pair<std::vector<std::size_t>, std::size_t> syncPositions(const std::vector<fake::Exchange>& log) {
    std::vector<std::size_t> at;
    std::size_t writes = 0;
    for (const auto& e : log) {
        if (!e.isRequest) {
            ++writes;
        } else {
            EXPECT_EQ(test::hex(e.bytes), "01 80");
            EXPECT_EQ(e.capacity, 16u);
            EXPECT_EQ(e.extraSeconds, 0u);
            at.push_back(writes);
        }
    }
    return {at, writes};
}

TEST(ChipSilence, SyncWhenMoreThanHalfTheBufferIsInFlight) {
    struct Case {
        const char* model;
        std::uint32_t bufferSize;
        std::vector<std::size_t> syncsAfter;
        std::size_t writes;
    };
    const Case cases[] = {
        // 7-byte writes, threshold 512: the 74th write makes 518 > 512.
        {"YM2151", 1024, {74, 148, 222}, 242},
        // Exactly at the threshold is not over it: 73 x 7 = 511, 74 x 7 = 518.
        {"YM2151", 1022, {74, 148, 222}, 242},
        {"YM2151", 1036, {75, 150, 225}, 242},
        // 15-byte SCC writes: 35 x 15 = 525 > 512.
        {"SCC", 1024, {35, 70, 105, 140}, 146},
        // 5-byte port writes, threshold 10: the third write makes 15.
        {"SN76489", 20, {3, 6, 9}, 11},
        // A threshold below one payload: a sync after every write.
        {"AY8910", 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 16},
        {"YM2413", 4096, {}, 36},
    };
    for (const Case& c : cases) {
        RecordSpec spec;
        spec.name = c.model;
        ChipOnBoard cb(spec, c.bufferSize);
        auto log = cb.board().snapshot();
        ASSERT_FALSE(log.empty());
        log.erase(log.begin());  // the slot reset
        auto [at, writes] = syncPositions(log);
        EXPECT_EQ(at, c.syncsAfter) << c.model << " buffer " << c.bufferSize;
        EXPECT_EQ(writes, c.writes) << c.model;
    }
}

TEST(ChipWrite, RegisterWritesAllocateNothing) {
    for (const char* model : {"YM2608", "YM2151", "YM2612", "YM2203", "YM3812", "Y8950", "SN76489", "SCC", "YM2610+H",
                              "AY8910", "YM2413", "YMF262"}) {
        RecordSpec spec;
        spec.name = model;
        ChipOnBoard cb(spec);
        cb.board().discardPushes = true;
        test::AllocationCounter counter;
        for (std::uint32_t i = 0; i < 1000; ++i) {
            cb.chip->write(0x20 + (i & 0x3F), i);
            cb.chip->writeData(0, i);
        }
        EXPECT_EQ(counter.count(), 0) << model;
    }
    // The counter itself sees allocations.
    test::AllocationCounter counter;
    auto probe = std::make_unique<int>(1);
    EXPECT_GT(counter.count(), 0);
}

// A call whose transport throws (here: the stand-in's record of the
// command cannot be allocated) returns the call's failure to the host.
TEST(ChipBoundary, ExceptionsBecomeFailureResults) {
    RecordSpec spec;
    spec.name = "YM2608";
    spec.variableClock = true;
    spec.hardwareReset = true;
    ChipOnBoard cb(spec);
    VeskChip* chip = cb.chip.get();
    const struct {
        const char* call;
        std::function<std::uint32_t()> run;
    } cases[] = {
        {"write", [&] { return std::uint32_t{chip->write(0x28, 0x01)}; }},
        {"writeData", [&] { return std::uint32_t{chip->writeData(1, 0x01)}; }},
        {"read", [&] { return chip->read(0x00); }},
        {"setClock", [&] { return std::uint32_t{chip->setClock(7987200, 0)}; }},
        {"reset", [&] { return std::uint32_t{chip->reset()}; }},
        {"resetSlot", [&] { return std::uint32_t{chip->resetSlot()}; }},
    };
    for (const auto& c : cases) {
        cb.board().answer(0x04, {0x02, 0x04, 0x7F});  // a read would answer 0x7F
        test::failAllocationNumber(1);
        std::uint32_t got = 1;
        EXPECT_NO_THROW(got = c.run()) << c.call;
        test::failAllocationNumber(0);
        EXPECT_EQ(got, 0u) << c.call;
        cb.board().script.clear();
    }
    // The chip still works afterwards.
    cb.take();
    EXPECT_TRUE(chip->write(0x28, 0x01));
    EXPECT_EQ(cb.take().size(), 1u);
}

TEST(ChipRead, ValueIsTheReplyByteAtItsCountIndex) {
    RecordSpec spec;
    ChipOnBoard cb(spec);
    cb.take();
    cb.board().answer(0x04, {0x03, 0x04, 0x00, 0x5A});
    EXPECT_EQ(cb.chip->read(0x20), 0x5Au);
    cb.board().answer(0x04, {0x05, 0x04, 0x00, 0x11, 0x22, 0x33});
    EXPECT_EQ(cb.chip->read(0x20), 0x33u);
    EXPECT_EQ(cb.chip->read(0x20), 0u) << "no reply";
    auto log = cb.board().snapshot();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].capacity, 256u);
}

}  // namespace
}  // namespace vesk
