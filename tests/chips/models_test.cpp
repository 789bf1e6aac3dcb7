// The models' payloads: exact bytes of write, writeData and read at two
// clocks, the silence tables, sample-write flow control and the prescaler.
#include <gtest/gtest.h>

#include <sstream>

#include "support/chip_test_util.h"
#include "chips/ftdi_link.h"
#include "chips/opl.h"
#include "chips/opm.h"
#include "chips/opn.h"
#include "chips/psg.h"

namespace vesk {
namespace {

using test::ChipOnBoard;
using test::RecordSpec;
using Lines = std::vector<std::string>;

// The YM2610+H cases here run without the USB link.
class Models : public ::testing::Test {
protected:
    void SetUp() override { setD2xxLibraryPath("no-such-d2xx-library"); }
    void TearDown() override { setD2xxLibraryPath(""); }
};

TEST_F(Models, PayloadBytesAtTwoClocks) {
    struct Case {
        const char* model;
        std::uint32_t clock;
        char op;  // w: write, d: writeData, r: read (the board answers 0x5A)
        std::uint32_t a, b;
        const char* sent;  // "" when nothing may be sent
        bool activity;
    };
    // Slot 2 throughout: target bytes 0x2p.
    const Case cases[] = {
        // YM2608: W(17), W(17)+2, W(47)+4, W(83), W(576)+1.
        {"YM2608", 4000000, 'w', 0x010, 0x3F, "06 00 21 10 3f 05 91", true},
        {"YM2608", 4000000, 'w', 0x108, 0xAA, "06 00 22 08 aa 07 10", true},
        {"YM2608", 4000000, 'w', 0x030, 0x12, "06 00 21 30 12 05 15", true},
        {"YM2608", 4000000, 'w', 0x1A4, 0x01, "06 00 22 a4 01 05 15", true},
        {"YM2608", 4000000, 'd', 0x13, 0x2D, "04 02 23 2d 01", false},
        {"YM2608", 4000000, 'r', 0x00F, 0, "04 04 21 0f 05", false},
        {"YM2608", 4000000, 'r', 0x010, 0, "04 04 20 10 05", false},
        {"YM2608", 4000000, 'r', 0x0FF, 0, "04 04 20 ff 05", false},
        {"YM2608", 4000000, 'r', 0x108, 0, "04 04 23 08 05", false},
        {"YM2608", 4000000, 'r', 0x10F, 0, "04 04 23 0f 05", false},
        {"YM2608", 4000000, 'r', 0x100, 0, "04 04 22 00 05", false},
        {"YM2608", 8000000, 'w', 0x010, 0x3F, "06 00 21 10 3f 03 49", true},
        {"YM2608", 8000000, 'w', 0x108, 0xAA, "06 00 22 08 aa 05 0a", true},
        {"YM2608", 8000000, 'w', 0x030, 0x12, "06 00 21 30 12 03 0b", true},
        // YM2203: SSG registers W(17) both; 0xA0-type W(47); others W(83).
        {"YM2203", 4000000, 'w', 0x07, 0x38, "06 00 20 07 38 05 05", true},
        {"YM2203", 4000000, 'w', 0x2D, 0x00, "06 00 20 2d 00 05 15", true},
        {"YM2203", 4000000, 'w', 0xA4, 0x01, "06 00 20 a4 01 05 0c", true},
        {"YM2203", 4000000, 'w', 0x40, 0x7F, "06 00 20 40 7f 05 15", true},
        {"YM2203", 4000000, 'd', 0x00, 0x2E, "04 02 20 2e 01", false},
        {"YM2203", 4000000, 'r', 0x0E, 0, "04 04 21 0e 05", false},
        {"YM2203", 4000000, 'r', 0x40, 0, "04 04 20 40 05", false},
        {"YM2203", 8000000, 'w', 0x07, 0x38, "06 00 20 07 38 03 03", true},
        {"YM2203", 8000000, 'w', 0xA4, 0x01, "06 00 20 a4 01 03 06", true},
        {"YM2203", 8000000, 'w', 0x40, 0x7F, "06 00 20 40 7f 03 0b", true},
        // YM2612: two banks; W2 = W(47) when A & 0xA0 == 0xA0.
        {"YM2612", 4000000, 'w', 0x0A4, 0x01, "06 00 21 a4 01 05 0c", true},
        {"YM2612", 4000000, 'w', 0x0B0, 0x01, "06 00 21 b0 01 05 0c", true},
        {"YM2612", 4000000, 'w', 0x030, 0x01, "06 00 21 30 01 05 15", true},
        {"YM2612", 4000000, 'w', 0x1A4, 0x02, "06 00 22 a4 02 05 0c", true},
        {"YM2612", 4000000, 'd', 0x00, 0x01, "", false},
        {"YM2612", 4000000, 'r', 0x1A4, 0, "04 04 20 a4 05", false},
        {"YM3438", 8000000, 'w', 0x0A4, 0x01, "06 00 21 a4 01 03 06", true},
        {"YM3438", 8000000, 'w', 0x130, 0x01, "06 00 22 30 01 03 0b", true},
        // YM2151: W(17), W(83).
        {"YM2151", 4000000, 'w', 0x20, 0xC7, "06 00 20 20 c7 05 15", true},
        {"YM2151", 4000000, 'r', 0x20, 0, "04 04 20 20 05", false},
        {"YM2151", 3579545, 'w', 0x20, 0xC7, "06 00 20 20 c7 05 18", true},
        {"YM2151", 3579545, 'd', 0x00, 0x01, "", false},
        // YM2413: W(12)+1, W(84)+1; no reads.
        {"YM2413", 4000000, 'w', 0x30, 0x10, "06 00 20 30 10 04 16", true},
        {"YM2413", 3579545, 'w', 0x30, 0x10, "06 00 20 30 10 05 19", true},
        {"YM2413", 3579545, 'r', 0x30, 0, "", false},
        // YM3812: W(12); W2 = W(84) when A & 0xE0 is non-zero.
        {"YM3812", 4000000, 'w', 0x01, 0x20, "06 00 20 01 20 03 03", true},
        {"YM3812", 4000000, 'w', 0x20, 0x01, "06 00 20 20 01 03 15", true},
        {"YM3812", 4000000, 'w', 0xE0, 0x01, "06 00 20 e0 01 03 15", true},
        {"YM3812", 4000000, 'r', 0x05, 0, "04 04 20 05 03", false},
        {"YM3526", 3579545, 'w', 0x01, 0x20, "06 00 20 01 20 04 04", true},
        {"YM3526", 3579545, 'w', 0x40, 0x3F, "06 00 20 40 3f 04 18", true},
        // YMF262: two banks; W(32), W(84); reads W(12).
        {"YMF262", 14318180, 'w', 0x105, 0x01, "06 00 22 05 01 03 06", true},
        {"YMF262", 14318180, 'w', 0x0B0, 0x01, "06 00 21 b0 01 03 06", true},
        {"YMF262", 14318180, 'r', 0x105, 0, "04 04 20 05 01", false},
        {"YMF262", 4000000, 'w', 0x105, 0x01, "06 00 22 05 01 08 15", true},
        {"YMF262", 4000000, 'r', 0x005, 0, "04 04 20 05 03", false},
        // Y8950: sample data 0x0F W(12)+2, W(84)+4; reads on port 1 or 14.
        {"Y8950", 4000000, 'w', 0x0F, 0x55, "06 00 20 0f 55 05 19", true},
        {"Y8950", 4000000, 'w', 0x04, 0x80, "06 00 20 04 80 03 03", true},
        {"Y8950", 4000000, 'w', 0x40, 0x3F, "06 00 20 40 3f 03 15", true},
        {"Y8950", 4000000, 'r', 0x0F, 0, "04 04 21 0f 03", false},
        {"Y8950", 4000000, 'r', 0x05, 0, "04 04 2e 05 03", false},
        {"Y8950", 4000000, 'd', 0x00, 0x01, "", false},
        {"Y8950", 3579545, 'w', 0x0F, 0x55, "06 00 20 0f 55 06 1c", true},
        // PSG: no waits; reads on port 1.
        {"AY8910", 4000000, 'w', 0x07, 0x38, "06 00 20 07 38 00 00", true},
        {"YM2149", 2000000, 'w', 0x07, 0x38, "06 00 20 07 38 00 00", true},
        {"AY8910", 4000000, 'r', 0x07, 0, "04 04 21 07 00", false},
        {"AY8910", 4000000, 'd', 0x00, 0x01, "", false},
        // SN76489: only port writes, W(32), which count as activity.
        {"SN76489", 4000000, 'd', 0x00, 0x9F, "04 02 20 9f 08", true},
        {"SN76489", 3579545, 'd', 0x00, 0x9F, "04 02 20 9f 09", true},
        {"SN76489", 3579545, 'w', 0x00, 0x9F, "", false},
        {"SN76489", 3579545, 'r', 0x00, 0, "", false},
        // SCC / SCC+: address high, address low, data, each W = 50.
        {"SCC", 1789772, 'w', 0x9800, 0x12, "04 02 2d 98 32 04 02 2e 00 32 04 02 2f 12 32", true},
        {"SCC+", 3579545, 'w', 0xB8AF, 0x1F, "04 02 2d b8 32 04 02 2e af 32 04 02 2f 1f 32", true},
        {"SCC", 1789772, 'd', 0x1E, 0x44, "04 02 2e 44 32", false},
        {"SCC", 1789772, 'r', 0x9800, 0, "", false},
        // YM2610+H without its link: the ADPCM key and control are dropped.
        {"YM2610+H", 8000000, 'w', 0x030, 0x01, "06 00 21 30 01 03 0b", true},
        {"YM2610+H", 8000000, 'w', 0x1A0, 0x02, "06 00 22 a0 02 03 0b", true},
        {"YM2610+H", 8000000, 'w', 0x100, 0x80, "", false},
        {"YM2610B+H", 8000000, 'w', 0x010, 0x80, "", false},
        {"YM2610+H", 8000000, 'r', 0x00F, 0, "04 04 21 0f 03", false},
        {"YM2610+H", 8000000, 'r', 0x010, 0, "04 04 20 10 03", false},
        {"YM2610+H", 8000000, 'r', 0x100, 0, "04 04 22 00 03", false},
        {"YM2610+H", 8000000, 'd', 0x00, 0x01, "", false},
        // Unknown models accept and drop everything.
        {"OPX", 4000000, 'w', 0x10, 0x01, "", false},
        {"OPX", 4000000, 'd', 0x00, 0x01, "", false},
        {"OPX", 4000000, 'r', 0x10, 0, "", false},
    };
    for (const Case& c : cases) {
        std::ostringstream what;
        what << c.model << " @" << c.clock << " " << c.op << " " << std::hex << c.a << "," << c.b;
        RecordSpec spec;
        spec.name = c.model;
        spec.clock = c.clock;
        spec.slot = 2;
        ChipOnBoard cb(spec);
        cb.take();
        cb.chip->takeActivity();
        cb.board().answer(0x04, {0x03, 0x04, 0x00, 0x5A});
        switch (c.op) {
        case 'w': EXPECT_TRUE(cb.chip->write(c.a, c.b)) << what.str(); break;
        case 'd': EXPECT_TRUE(cb.chip->writeData(c.a, c.b)) << what.str(); break;
        case 'r': EXPECT_EQ(cb.chip->read(c.a), *c.sent ? 0x5Au : 0u) << what.str(); break;
        }
        Lines sent = cb.take();
        if (*c.sent) {
            EXPECT_EQ(sent, Lines{(c.op == 'r' ? std::string("R ") : std::string()) + c.sent}) << what.str();
        } else {
            EXPECT_TRUE(sent.empty()) << what.str() << ": " << (sent.empty() ? "" : sent[0]);
        }
        EXPECT_EQ(cb.chip->takeActivity(), c.activity ? 1 : 0) << what.str();
    }
}

// ---------------------------------------------------------------- silence

// The tables below are the silence tables as the chip documentation lists
// them: "r1-r2 <- v" every register of a run, "r <- v1, v2" one register
// written several times, "groups x to y <- v" the three registers r..r+2 of
// r = x, x+4, .., y, and "groups at a, b <- v" the groups at those bases.
using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

Pairs parseTable(const std::string& text) {
    Pairs out;
    std::stringstream entries(text);
    std::string entry;
    auto num = [](const std::string& s) { return static_cast<std::uint32_t>(std::stoul(s, nullptr, 16)); };
    while (std::getline(entries, entry, ';')) {
        auto arrow = entry.find("<-");
        std::string left = entry.substr(0, arrow);
        std::stringstream values(entry.substr(arrow + 2));
        std::vector<std::uint32_t> vs;
        for (std::string v; std::getline(values, v, ',');) vs.push_back(num(v));
        auto group = [&](std::uint32_t base) {
            for (std::uint32_t r = base; r < base + 3; ++r) out.push_back({r, vs.at(0)});
        };
        if (left.find("groups at") != std::string::npos) {
            std::stringstream bases(left.substr(left.find("at") + 2));
            for (std::string b; std::getline(bases, b, ',');) group(num(b));
        } else if (left.find("groups") != std::string::npos) {
            auto to = left.find(" to ");
            std::uint32_t x = num(left.substr(left.find("groups") + 6, to)), y = num(left.substr(to + 4));
            for (std::uint32_t r = x; r <= y; r += 4) group(r);
        } else if (left.find('-') != std::string::npos) {
            auto dash = left.find('-');
            for (std::uint32_t r = num(left.substr(0, dash)); r <= num(left.substr(dash + 1)); ++r)
                out.push_back({r, vs.at(0)});
        } else {
            for (std::uint32_t v : vs) out.push_back({num(left), v});
        }
    }
    return out;
}

// (register, value) of every write in the log: kCmdWriteReg (bank from the
// port code), the SCC's three port writes, or single port writes.
Pairs decodeWrites(const std::vector<fake::Exchange>& log) {
    Pairs out;
    for (const auto& e : log) {
        if (e.isRequest) continue;
        const auto& b = e.bytes;
        if (b.size() == 7 && b[1] == 0x00) {
            out.push_back({((b[2] & 0x0F) == 2 ? 0x100u : 0u) | b[3], b[4]});
        } else if (b.size() == 15) {
            out.push_back({static_cast<std::uint32_t>(b[3] << 8 | b[8]), b[13]});
        } else if (b.size() == 5 && b[1] == 0x02) {
            out.push_back({static_cast<std::uint32_t>(b[2] & 0x0F), b[3]});
        } else {
            ADD_FAILURE() << "unexpected payload " << test::hex(b);
        }
    }
    return out;
}

struct SilenceCase {
    const char* model;
    std::size_t count;
    const char* table;
};

const SilenceCase kSilenceCases[] = {
    {"AY8910", 16, "08-0A <- 00; 00-07 <- 00; 0B-0F <- 00"},
    {"SCC", 146, "9000 <- 3F; 988F <- 00; 988A-988E <- 00; 98E0 <- 00; 9800-9889 <- 00"},
    {"SCC+", 179, "BFFE <- 20; B000 <- 80; B8AF <- 00; B8AA-B8AE <- 00; B8C0 <- 00; B800-B8A9 <- 00"},
    {"SN76489", 11, "0 <- 9F, BF, DF, FF, E0, 81, 00, A1, 00, C1, 00"},
    {"Y8950", 154,
     "B0-B8 <- 00; 40-55 <- 3F; 01-04 <- 00; 08 <- 00; 20-35 <- 00; 60-75 <- 00; 80-95 <- 00; A0-A8 <- 00;"
     "BD <- 00; C0-C8 <- 00; E0-F5 <- 00; 07-0A <- 00; 0B-0C <- FF; 0D-0E <- 00; 10-12 <- 00"},
    {"YM3812", 143,
     "B0-B8 <- 00; 40-55 <- 3F; 01-04 <- 00; 08 <- 00; 20-35 <- 00; 60-75 <- 00; 80-95 <- 00; A0-A8 <- 00;"
     "BD <- 00; C0-C8 <- 00; E0-F5 <- 00"},
    {"YMF262", 284,
     "105 <- 01; 0B0-0B8 <- 00; 1B0-1B8 <- 00; 040-055 <- 3F; 140-155 <- 3F; 001 <- 00; 101 <- 00;"
     "002-004 <- 00; 104 <- 00; 008 <- 00; 020-035 <- 00; 060-075 <- 00; 080-095 <- 00; 0A0-0A8 <- 00;"
     "0BD <- 00; 0C0-0C8 <- 00; 0E0-0F5 <- 00; 120-135 <- 00; 160-175 <- 00; 180-195 <- 00; 1A0-1A8 <- 00;"
     "1C0-1C8 <- 00; 1E0-1F5 <- 00; 105 <- 00"},
    {"YM2413", 36, "0E <- 00; 30-38 <- 00; 20-28 <- 00; 00-07 <- 00; 10-18 <- 00"},
    {"YM2151", 242,
     "01 <- 02; 08 <- 00, 01, 02, 03, 04, 05, 06, 07; 0F-14 <- 00; 18-19 <- 00; 1B <- 00; 20-5F <- 00;"
     "60-7F <- 7F; 80-FF <- 00"},
    {"YM2203", 122, "08-0A <- 00; 28 <- 00, 01, 02; 00-07 <- 00; 0B-0F <- 00; 24-27 <- 00; groups 30 to B0 <- 00"},
    {"YM2612", 216,
     "028 <- 00, 01, 02, 04, 05, 06; 02B <- 00; 022 <- 00; 024-027 <- 00; groups 030 to 0B4 <- 00;"
     "groups 130 to 1B4 <- 00"},
    {"YM2608", 255,
     "029 <- 80; 028 <- 00, 01, 02, 04, 05, 06; 008-00A <- 00; 011 <- 3F; 010 <- BF; 018-01D <- 1F;"
     "10B <- 00; 022 <- 00; 024-026 <- 00; 027 <- 30; groups 030 to 03C <- 00; groups 040 to 04C <- 7F;"
     "groups 050 to 09C <- 00; groups at 0A4, 0A0, 0A8, 0AC, 0B0 <- 00; groups 130 to 13C <- 00;"
     "groups 140 to 14C <- 7F; groups 150 to 19C <- 00; groups at 1A4, 1A0, 1A8, 1AC, 1B0 <- 00;"
     "000-006 <- 00; 007 <- 3F; 00B-00F <- 00; 100-107 <- 00; 109-10A <- 00; 10C-10D <- 00; 110 <- 00;"
     "0B4-0B6 <- C0; 1B4-1B6 <- 00; 029 <- 00"},
    {"YM2610+H", 273,
     "028 <- 00, 01, 02, 04, 05, 06; 008-00A <- 00; 010 <- 01; 01B <- 00; 100-101 <- 00; 108-10D <- 00;"
     "000-007 <- 00; 00B-00F <- 00; 011-015 <- 00; 019-01A <- 00; 01C <- 00; 022 <- 00; 024-027 <- 00;"
     "groups 030 to 0B4 <- 00; groups 130 to 1B4 <- 00; 110-115 <- 00; 118-11D <- 00; 120-125 <- 00;"
     "128-12D <- 00"},
};

TEST_F(Models, SilenceTablesAtCreationAndOnReset) {
    for (const SilenceCase& c : kSilenceCases) {
        Pairs expected = parseTable(c.table);
        ASSERT_EQ(expected.size(), c.count) << c.model << ": the test's own table";
        if (std::string(c.model) == "YM2610+H") {
            // Without the USB link the ADPCM-A key (0x100) and ADPCM-B
            // control (0x010) writes are dropped.
            Pairs kept;
            for (auto p : expected)
                if (p.first != 0x100 && p.first != 0x010) kept.push_back(p);
            expected = kept;
        }
        RecordSpec spec;
        spec.name = c.model;
        ChipOnBoard cb(spec);
        auto log = cb.board().snapshot();
        ASSERT_FALSE(log.empty());
        log.erase(log.begin());  // the slot reset
        EXPECT_EQ(decodeWrites(log), expected) << c.model << " at creation";
        cb.board().clear();
        EXPECT_TRUE(cb.chip->reset());
        EXPECT_EQ(decodeWrites(cb.board().snapshot()), expected) << c.model << " on reset";
    }
}

TEST_F(Models, UnknownModelHasNoSilenceTable) {
    RecordSpec spec;
    spec.name = "ym2151";
    ChipOnBoard cb(spec);
    EXPECT_EQ(cb.take(), Lines{"R 02 90 01"});
    EXPECT_TRUE(cb.chip->reset());
    EXPECT_TRUE(cb.take().empty());
}

// ---------------------------------------------------------------- sample-write flow

struct FlowCase {
    const char* model;
    std::uint32_t control, flags, data, other;
    const char* dataWait;  // W1 W2 of the data register at 4 MHz
};

class SampleWriteFlow : public ::testing::TestWithParam<FlowCase> {};

TEST_P(SampleWriteFlow, ModeOnHoldsTheHostEveryHalfBufferAndModeOffDrains) {
    const FlowCase& c = GetParam();
    RecordSpec spec;
    spec.name = c.model;
    ChipOnBoard cb(spec, 64);  // threshold 32: a sync every 5th write (35 > 32)
    cb.take();
    ASSERT_TRUE(cb.transport->keepAlivesEnabled());

    // Bit 6 of the control register: the write, then a plain sync, keep-alives off.
    cb.chip->write(c.control, 0x60);
    auto log = cb.board().snapshot();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_FALSE(log[0].isRequest);
    EXPECT_EQ(test::hex(log[1].bytes), "01 80");
    EXPECT_EQ(log[1].extraSeconds, 0u);
    EXPECT_FALSE(cb.transport->keepAlivesEnabled());
    cb.board().clear();

    // The flag-control register is dropped while the mode is on.
    EXPECT_TRUE(cb.chip->write(c.flags, 0x1C));
    EXPECT_TRUE(cb.board().snapshot().empty());

    // Every other write counts 7 bytes; over the threshold: a long sync.
    for (int i = 0; i < 10; ++i) cb.chip->write(c.data, i);
    log = cb.board().snapshot();
    ASSERT_EQ(log.size(), 12u);
    for (std::size_t i : {5u, 11u}) {
        EXPECT_TRUE(log[i].isRequest) << i;
        EXPECT_EQ(test::hex(log[i].bytes), "01 80");
        EXPECT_EQ(log[i].extraSeconds, 2u);
    }
    EXPECT_EQ(test::hex(log[0].bytes).substr(15), c.dataWait);
    cb.board().clear();

    // Bit 6 clear: the write, a long sync, keep-alives back on.
    cb.chip->write(c.control, 0x01);
    log = cb.board().snapshot();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].extraSeconds, 2u);
    EXPECT_TRUE(cb.transport->keepAlivesEnabled());
    cb.board().clear();

    // Mode off: flag control goes through, other writes bring no syncs, and
    // clearing the control register again syncs nothing.
    cb.chip->write(c.flags, 0x1C);
    for (int i = 0; i < 10; ++i) cb.chip->write(c.other, i);
    cb.chip->write(c.control, 0x00);
    log = cb.board().snapshot();
    EXPECT_EQ(log.size(), 12u);
    for (const auto& e : log) EXPECT_FALSE(e.isRequest);
    EXPECT_TRUE(cb.transport->keepAlivesEnabled());
}

INSTANTIATE_TEST_SUITE_P(Chips, SampleWriteFlow,
                         ::testing::Values(FlowCase{"YM2608", 0x100, 0x110, 0x108, 0x030, "07 10"},
                                           FlowCase{"Y8950", 0x07, 0x04, 0x0F, 0x40, "05 19"}),
                         [](const auto& info) { return std::string(info.param.model); });

TEST_F(Models, SilenceEndsSampleWriteMode) {
    RecordSpec spec;
    spec.name = "YM2608";
    ChipOnBoard cb(spec);
    cb.chip->write(0x100, 0x60);
    ASSERT_FALSE(cb.transport->keepAlivesEnabled());
    cb.take();
    cb.chip->reset();
    EXPECT_TRUE(cb.transport->keepAlivesEnabled());
    EXPECT_EQ(ChipTestAccess::sampleWriteMode(*cb.chip), 0);
    bool longSync = false;
    for (const auto& e : cb.board().snapshot()) longSync |= e.isRequest && e.extraSeconds == 2;
    EXPECT_TRUE(longSync) << "leaving the mode waits for the board to drain";
}

// ---------------------------------------------------------------- prescaler

const std::string kPrescaler3 = "04 02 20 2d 01";
const std::string kPrescaler3b = "04 02 20 2e 01";

bool endsWithPrescalerStep(const Lines& sent) {
    return sent.size() >= 2 && sent[sent.size() - 2] == kPrescaler3 && sent.back() == kPrescaler3b;
}
int prescalerSteps(const Lines& sent) {
    int n = 0;
    for (const auto& s : sent) n += s == kPrescaler3b;
    return n;
}

TEST_F(Models, YM2203PrescalerAtCreationSilenceAndSetClock) {
    struct Case {
        const char* extInfo;
        std::uint32_t clock;
        bool step;
    };
    const Case cases[] = {
        {"PRE13=4000000", 4000000, true},  // equal counts as at most
        {"PRE13=4000000", 3000000, true},
        {"PRE13=4000000", 4000001, false},
        {"", 4000000, false},
        {"", 0, true},                // 0 is at most 0
        {"PRE13=-1", 8000000, true},  // a negative number is a huge threshold
    };
    for (const Case& c : cases) {
        RecordSpec spec;
        spec.name = "YM2203";
        spec.extInfo = c.extInfo;
        spec.clock = c.clock;
        spec.variableClock = true;
        spec.slot = 2;
        ChipOnBoard cb(spec);
        Lines created = cb.take();
        EXPECT_EQ(endsWithPrescalerStep(created), c.step) << c.extInfo << " " << c.clock;
        EXPECT_EQ(prescalerSteps(created), c.step ? 1 : 0);

        cb.chip->reset();
        EXPECT_EQ(endsWithPrescalerStep(cb.take()), c.step) << "after silence";

        // setClock to the same clock (a variable-clock slot sends it again).
        cb.chip->setClock(c.clock < 500000 ? 500000 : c.clock, 0);
        Lines sent = cb.take();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.front().substr(0, 5), "06 08");
    }
}

TEST_F(Models, PrescalerFollowsTheClockSetAndYM2608SilenceLeavesIt) {
    for (const char* model : {"YM2203", "YM2608"}) {
        RecordSpec spec;
        spec.name = model;
        spec.extInfo = "PRE13=4000000";
        spec.clock = 8000000;
        spec.variableClock = true;
        spec.slot = 2;
        ChipOnBoard cb(spec);
        EXPECT_EQ(prescalerSteps(cb.take()), 0) << model;

        EXPECT_TRUE(cb.chip->setClock(4000000, 0));
        Lines sent = cb.take();
        EXPECT_EQ(sent, (Lines{"06 08 02 00 09 3d 00", kPrescaler3, kPrescaler3b})) << model;

        // A refused clock still steps when the clock kept is low enough.
        EXPECT_FALSE(cb.chip->setClock(100, 0));
        EXPECT_EQ(cb.take(), (Lines{kPrescaler3, kPrescaler3b})) << model;

        EXPECT_TRUE(cb.chip->setClock(8000000, 0));
        EXPECT_EQ(cb.take(), Lines{"06 08 02 00 12 7a 00"}) << model;

        cb.chip->setClock(4000000, 0);
        cb.take();
        cb.chip->reset();
        bool isYM2203 = std::string(model) == "YM2203";
        EXPECT_EQ(endsWithPrescalerStep(cb.take()), isYM2203) << model << ": silence";
    }
}

TEST_F(Models, YM2608CreationNeverStepsThePrescaler) {
    RecordSpec spec;
    spec.name = "YM2608";
    spec.extInfo = "PRE13=8000000";
    spec.clock = 8000000;
    spec.slot = 2;
    ChipOnBoard cb(spec);
    EXPECT_EQ(prescalerSteps(cb.take()), 0);
    EXPECT_EQ(ChipTestAccess::prescalerThreshold(static_cast<ChipYM2608&>(*cb.chip)), 8000000u);
}

}  // namespace
}  // namespace vesk
