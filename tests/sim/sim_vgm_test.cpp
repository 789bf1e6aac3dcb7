// A board's VGM recording: a real board fed datagrams, its record lines
// tapped into the recorder, and the file read back.
#include <gtest/gtest.h>

#include <sstream>

#include "sim_board.h"
#include "sim_vgm.h"

using namespace vesk::sim;
using Bytes = std::vector<std::uint8_t>;

namespace {

const char* kBoard = R"(
[[board]]
name = "VGM-BOARD"
link = "vb0"
address = "fe80::5e5c:7"
  [[board.slot]]
  chip = "YM2612"
  clock = 7670454
  variable_clock = true
  [[board.slot]]
  chip = "SN76489"
  clock = 3579545
  [[board.slot]]
  chip = "SN76489"
  clock = 3579545
  [[board.slot]]
  chip = "SCC"
  clock = 1789772
  [[board.slot]]
  chip = "XYZ"
  clock = 1000000
  [[board.slot]]
  chip = "SN76489"
  clock = 3579545
  [[board.slot]]
  present = false
)";

std::uint32_t le32(const Bytes& v, std::size_t at) {
    return v[at] | v[at + 1] << 8 | v[at + 2] << 16 | static_cast<std::uint32_t>(v[at + 3]) << 24;
}

struct Write {
    std::int64_t sample;
    Bytes bytes;
    bool operator==(const Write& o) const { return sample == o.sample && bytes == o.bytes; }
};

std::ostream& operator<<(std::ostream& os, const Write& w) {
    os << "@" << w.sample << ":";
    for (auto b : w.bytes) os << " " << std::hex << int(b) << std::dec;
    return os;
}

// The commands of a VGM body with the sample each falls on; total: where
// the waits end.
std::vector<Write> readBody(const Bytes& v, std::int64_t& total) {
    std::vector<Write> out;
    std::size_t p = 0x34 + le32(v, 0x34);
    std::int64_t t = 0;
    while (p < v.size() && v[p] != 0x66) {
        std::uint8_t c = v[p];
        if (c >= 0x70 && c <= 0x7F) {
            t += c - 0x6F;
            p += 1;
        } else if (c == 0x61) {
            t += v[p + 1] | v[p + 2] << 8;
            p += 3;
        } else {
            std::size_t n = c == 0x50 || c == 0x30 ? 2 : c == 0xD2 ? 4 : 3;
            out.push_back(
                {t, Bytes(v.begin() + static_cast<std::ptrdiff_t>(p), v.begin() + static_cast<std::ptrdiff_t>(p + n))});
            p += n;
        }
    }
    total = t;
    return out;
}

TEST(SimVgm, BoardTimelineBecomesTheFile) {
    SimConfig cfg = parseConfig(kBoard, "vgm.toml");
    VgmRecorder rec(cfg.boards[0], 3);
    std::ostringstream file;  // the record file still gets every line
    LineTap tap(file.rdbuf(), [&](const char* line, std::size_t len) {
        BoardCommand c;
        if (commandFromLine(line, len, c)) rec.add(c);
    });
    std::ostream record(&tap);
    Board board(cfg.boards[0], 3, &record);
    Peer from;
    std::vector<Reply> replies;
    const std::int64_t t0 = 5'000'000'000;
    const Bytes first = {
        0x06, 0x00, 0x01, 0x22, 0x00, 0,    0,     // at the configured clock
        0x06, 0x08, 0x00, 0xB5, 0x0A, 0x75, 0x00,  // slot 0 clock 7670453
        0x06, 0x00, 0x01, 0x28, 0xF0, 2,    10,    // YM2612 bank 0, 12 us of waits
        0x04, 0x01, 0x00, 0xE8, 0x03,              // wait 1000 us
        0x06, 0x00, 0x02, 0xA4, 0x22, 0,    0,     // bank 1 at 1012 us: sample 44.6
        0x04, 0x02, 0x10, 0x9F, 5,                 // first DCSG at 1012 us
        0x04, 0x02, 0x20, 0x8F, 0,                 // second DCSG at 1017 us
        0x04, 0x02, 0x3D, 0x98, 0,    0x04, 0x02, 0x3E, 0x8A, 0, 0x04, 0x02, 0x3F, 0x0F, 0,  // SCC 988A: volume 0
        0x04, 0x02, 0x3D, 0x90, 0,    0x04, 0x02, 0x3E, 0x00, 0, 0x04, 0x02, 0x3F, 0x3F, 0,  // 9000: bank, no place
        0x06, 0x00, 0x40, 0x01, 0x02, 0,    0,                                               // unknown chip
        0x04, 0x02, 0x50, 0x9F, 0,                                                           // third DCSG
        0x04, 0x01, 0x01, 0x02, 0x00,                                                        // wait 2 ms
    };
    board.receive(first.data(), first.size(), false, from, t0, 1, replies);
    const Bytes second = {0x06, 0x00, 0x01, 0x2A, 0x80, 0, 0, 0x04, 0x01, 0x01, 0x0A, 0x00};
    board.receive(second.data(), second.size(), false, from, t0 + 100'000'000, 2, replies);
    record.flush();

    const Bytes v = rec.file();
    ASSERT_GT(v.size(), 0x100u);
    EXPECT_EQ(std::string(v.begin(), v.begin() + 4), "Vgm ");
    EXPECT_EQ(le32(v, 0x04), v.size() - 4);
    EXPECT_EQ(le32(v, 0x08), 0x171u);
    EXPECT_EQ(le32(v, 0x2C), 7670453u) << "the clock of most writes, after set_clock";
    EXPECT_EQ(le32(v, 0x0C), 3579545u | 0x40000000u) << "two DCSGs: dual-chip bit";
    EXPECT_EQ(le32(v, 0x9C), 1789772u);
    EXPECT_EQ(le32(v, 0x30), 0u);
    EXPECT_EQ(v[0x28] | v[0x29] << 8, 0x0003);
    EXPECT_EQ(v[0x2A], 15);

    std::int64_t total = 0;
    const std::vector<Write> expected = {
        {0, {0x52, 0x22, 0x00}}, {0, {0x52, 0x28, 0xF0}},        {45, {0x53, 0xA4, 0x22}},   {45, {0x50, 0x9F}},
        {45, {0x30, 0x8F}},      {45, {0xD2, 0x02, 0x00, 0x0F}}, {4410, {0x52, 0x2A, 0x80}},
    };
    EXPECT_EQ(readBody(v, total), expected);
    EXPECT_EQ(total, 4410 + 441) << "the file lasts to the end of the last wait";
    EXPECT_EQ(le32(v, 0x18), static_cast<std::uint32_t>(total));
    EXPECT_EQ(rec.writes(), 7);
    EXPECT_EQ(rec.times(),
              "# ns since the board's first write, VGM command\n0 522200\n0 5228f0\n1012000 53a422\n"
              "1012000 509f\n1017000 308f\n1017000 d202000f\n100000000 522a80\n");
    EXPECT_EQ(rec.skipped(), 3) << "bank register, unknown chip, third DCSG";

    const std::size_t gd3 = 0x14 + le32(v, 0x14);
    EXPECT_EQ(
        std::string(v.begin() + static_cast<std::ptrdiff_t>(gd3), v.begin() + static_cast<std::ptrdiff_t>(gd3 + 4)),
        "Gd3 ");
    std::string tag;
    for (std::size_t i = gd3 + 12; i + 1 < v.size(); i += 2) tag += static_cast<char>(v[i]);
    EXPECT_NE(tag.find("VGM-BOARD (board 3, fe80::5e5c:7)"), std::string::npos) << tag;

    const std::vector<std::string> leftOut = {
        "slot 3: SCC -- writes with no VGM command: 1",
        "slot 4: XYZ -- no place for a XYZ in VGM",
        "slot 5: SN76489 -- third SN76489 of the board (VGM holds two of a kind)",
    };
    EXPECT_EQ(rec.leftOut(), leftOut);
    const std::vector<std::string> clocks = {
        "slot 0: written at 2 clocks; the file has 7670453 Hz, that of 3 of its 4 writes"};
    EXPECT_EQ(rec.clockNotes(), clocks);
    EXPECT_NE(file.str().find("\"name\":\"write_reg\""), std::string::npos) << "the tap passes the record on";
}

TEST(SimVgm, SilentBoardGivesAnEmptySong) {
    SimConfig cfg = parseConfig(kBoard, "vgm.toml");
    VgmRecorder rec(cfg.boards[0], 0);
    std::int64_t total = -1;
    const Bytes v = rec.file();
    EXPECT_TRUE(readBody(v, total).empty());
    EXPECT_EQ(total, 0);
    EXPECT_EQ(v[0x34 + le32(v, 0x34)], 0x66);
}

}  // namespace
