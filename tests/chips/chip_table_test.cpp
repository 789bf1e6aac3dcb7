// Building the chip objects from the records: model selection, positions,
// the lookup map, "PRE13=" and teardown.
#include <gtest/gtest.h>

#include <typeinfo>

#include "support/chip_test_util.h"
#include "chips/ftdi_link.h"
#include "chips/opl.h"
#include "chips/opm.h"
#include "chips/opn.h"
#include "chips/psg.h"
#include "chips/ym2610h.h"
#include "chips/chip_table.h"

namespace vesk {
namespace {

using test::makeRecord;
using test::RecordSpec;

TEST(PrescalerThreshold, ReadLikeStrtolWithinTheField) {
    struct Case {
        const char* extInfo;
        std::uint32_t threshold;
    };
    const Case cases[] = {
        {"PRE13=4000000", 4000000},
        {"MODE=2 PRE13= 3993600 HZ", 3993600},
        {"PRE13=\t+42x", 42},
        {"", 0},
        {"PRE12=4000000", 0},
        {"pre13=4000000", 0},
        // Nothing to read, or a number out of range: 0, not an exception.
        {"PRE13=", 0},
        {"PRE13=MHz", 0},
        {"PRE13=-", 0},
        {"PRE13=2147483648", 0},
        {"PRE13=99999999999999999999", 0},
        {"PRE13=-2147483649", 0},
        // Negative numbers keep their bit pattern.
        {"PRE13=-1", 0xFFFFFFFFu},
        {"PRE13=-2147483648", 0x80000000u},
        {"PRE13=2147483647", 0x7FFFFFFFu},
        // The first occurrence decides.
        {"PRE13=1 PRE13=2", 1},
    };
    for (const Case& c : cases) {
        VeskChipInfo r = makeRecord(RecordSpec{"YM2203", 4000000, 0, false, false, c.extInfo});
        EXPECT_EQ(prescalerThresholdFrom(r.extInfo), c.threshold) << '"' << c.extInfo << '"';
    }
}

TEST(PrescalerThreshold, StopsAtTheEndOfTheField) {
    // 25 letters and "PRE13=9" fill the 32 bytes; the digits that follow in
    // memory belong to the next field.
    VeskChipInfo r = makeRecord(RecordSpec{"YM2203", 4000000, 0, false, false, "AAAAAAAAAAAAAAAAAAAAAAAAAPRE13=9"});
    r.slot = 0x33333333;  // "3333" right after extInfo
    EXPECT_EQ(prescalerThresholdFrom(r.extInfo), 9u);
}

class ChipTable : public ::testing::Test {
protected:
    void SetUp() override { setD2xxLibraryPath("no-such-d2xx-library"); }
    void TearDown() override {
        destroyChipTable(chips);
        setD2xxLibraryPath("");
    }
    std::vector<VeskChip*> chips;
    ChipLookup lookup;
};

TEST_F(ChipTable, ModelNamesSelectTheirClasses) {
    struct Case {
        const char* name;
        const std::type_info& type;
    };
    const Case cases[] = {
        {"YM2608", typeid(ChipYM2608)},     {"YM2151", typeid(ChipYM2151)}, {"YM2612", typeid(ChipYM2612)},
        {"YM3438", typeid(ChipYM2612)},     {"YM2203", typeid(ChipYM2203)}, {"YM3812", typeid(ChipYM3812)},
        {"YM3526", typeid(ChipYM3812)},     {"Y8950", typeid(ChipY8950)},   {"SN76489", typeid(ChipSN76489A)},
        {"SCC", typeid(ChipSCC)},           {"SCC+", typeid(ChipSCCPlus)},  {"YM2610+H", typeid(ChipYM2610H)},
        {"YM2610B+H", typeid(ChipYM2610H)}, {"AY8910", typeid(ChipPSG)},    {"YM2149", typeid(ChipPSG)},
        {"YM2413", typeid(ChipYM2413)},     {"YMF262", typeid(ChipYMF262)}, {"ym2151", typeid(ChipUnknown)},
        {"YM2151 ", typeid(ChipUnknown)},   {"", typeid(ChipUnknown)},      {"SN76489A", typeid(ChipUnknown)},
        {"YM2610", typeid(ChipUnknown)},
    };
    std::vector<VeskChipInfo> records;
    for (const Case& c : cases) records.push_back(makeRecord(RecordSpec{c.name}));
    auto transport = std::make_unique<fake::FakeBoardLink>("fe80::1");
    buildChipTable({transport.get()}, records.data(), static_cast<std::uint32_t>(records.size()), chips, lookup);
    ASSERT_EQ(chips.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(typeid(*chips[i]), cases[i].type) << '"' << cases[i].name << '"';
        EXPECT_STREQ(chips[i]->getName(), cases[i].name) << "the name stays the board's";
        EXPECT_EQ(&static_cast<Chip*>(chips[i])->record(), &records[i]);
    }
}

TEST_F(ChipTable, PositionsFollowTheBoardsAndTheLookupMapListsThem) {
    auto a = std::make_unique<fake::FakeBoardLink>("fe80::a");
    auto b = std::make_unique<fake::FakeBoardLink>("fe80::b");
    auto empty = std::make_unique<fake::FakeBoardLink>("fe80::e");
    std::vector<VeskChipInfo> records = {
        makeRecord(RecordSpec{"YM2151", 4000000, 0, false, false, "", "fe80::a"}),
        makeRecord(RecordSpec{"YM2413", 3579545, 1, false, false, "", "fe80::a"}),
        makeRecord(RecordSpec{"AY8910", 2000000, 0, false, false, "", "fe80::b"}),
        makeRecord(RecordSpec{"SCC", 1789772, 3, false, false, "", "fe80::b"}),
        makeRecord(RecordSpec{"YM2151", 4000000, 0, false, false, "", "fe80::gone"}),
    };
    buildChipTable({a.get(), b.get(), empty.get()}, records.data(), static_cast<std::uint32_t>(records.size()), chips,
                   lookup);
    ASSERT_EQ(chips.size(), 4u) << "the record of an unknown board gets no chip";
    EXPECT_EQ(lookup.size(), 3u);
    EXPECT_EQ(lookup.at("fe80::a"), (std::vector<std::uint32_t>{0, 1}));
    EXPECT_EQ(lookup.at("fe80::b"), (std::vector<std::uint32_t>{2, 3}));
    EXPECT_TRUE(lookup.at("fe80::e").empty());
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(&static_cast<Chip*>(chips[i])->record(), &records[i]);
    EXPECT_EQ(ChipTestAccess::link(*static_cast<Chip*>(chips[1])), a.get());
    EXPECT_EQ(ChipTestAccess::link(*static_cast<Chip*>(chips[2])), b.get());
    // Each board heard the slot resets of its own chips, in order.
    auto resets = [](fake::FakeBoardLink* t) {
        std::vector<std::string> out;
        for (const auto& e : t->board().snapshot())
            if (e.isRequest && e.bytes[1] == 0x90) out.push_back(test::hex(e.bytes));
        return out;
    };
    EXPECT_EQ(resets(a.get()), (std::vector<std::string>{"02 90 01", "02 90 02"}));
    EXPECT_EQ(resets(b.get()), (std::vector<std::string>{"02 90 01", "02 90 08"}));
    EXPECT_TRUE(empty->board().snapshot().empty());
}

TEST_F(ChipTable, TwoEndpointsWithOneAddressGiveTheFirstAllChips) {
    auto first = std::make_unique<fake::FakeBoardLink>("fe80::a");
    auto second = std::make_unique<fake::FakeBoardLink>("fe80::a");
    std::vector<VeskChipInfo> records = {
        makeRecord(RecordSpec{"YM2151", 4000000, 0, false, false, "", "fe80::a"}),
        makeRecord(RecordSpec{"YM2151", 4000000, 1, false, false, "", "fe80::a"}),
    };
    buildChipTable({first.get(), second.get()}, records.data(), 2, chips, lookup);
    ASSERT_EQ(chips.size(), 2u);
    EXPECT_EQ(lookup.size(), 1u);
    EXPECT_EQ(lookup.at("fe80::a"), (std::vector<std::uint32_t>{0, 1}));
    EXPECT_TRUE(second->board().snapshot().empty());
}

TEST_F(ChipTable, TeardownDestroysEveryChipAndKeepsTheLength) {
    auto t = std::make_unique<fake::FakeBoardLink>("fe80::1");
    std::vector<VeskChipInfo> records = {makeRecord(RecordSpec{"YM3438"}), makeRecord(RecordSpec{"YM2610B+H"}),
                                         makeRecord(RecordSpec{"whatever"})};
    buildChipTable({t.get()}, records.data(), 3, chips, lookup);
    ASSERT_EQ(chips.size(), 3u);
    destroyChipTable(chips);
    EXPECT_EQ(chips, (std::vector<VeskChip*>{nullptr, nullptr, nullptr}));
    destroyChipTable(chips);  // again: nothing left to do
}

}  // namespace
}  // namespace vesk
