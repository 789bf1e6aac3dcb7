// A chip's state at a point of a song, as the writes that bring a chip from
// its reset there: per family, what counts as one register, what goes last,
// what is left out.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "seek.h"

namespace vesk::play {
namespace {

using vgm::Chip;
using Write = std::tuple<int, int, int>;  // port, register, data

TEST(ChipState, LastValuesKeysLastSamplesLeftOut) {
    const struct {
        const char* name;
        Chip chip;
        std::vector<Write> song;
        std::vector<Write> setUp;
    } cases[] = {
        {"OPN2: last values in first-written order; key per channel, last; DAC data out",
         Chip::YM2612,
         {{0, 0x28, 0xF0}, {0, 0xA4, 0x22}, {0, 0x2A, 0x80}, {0, 0x28, 0xF1}, {1, 0xB4, 0xC0}, {0, 0xA4, 0x23},
          {0, 0x28, 0x00}},
         {{0, 0xA4, 0x23}, {1, 0xB4, 0xC0}, {0, 0x28, 0x00}, {0, 0x28, 0xF1}}},
        {"OPNA: the rhythm triggers and ADPCM-B start and data out",
         Chip::YM2608,
         {{0, 0x10, 0x01}, {1, 0x00, 0xA0}, {1, 0x08, 0x55}, {1, 0x02, 0x10}, {0, 0x11, 0x3F}},
         {{1, 0x02, 0x10}, {0, 0x11, 0x3F}}},
        {"OPM: key per channel; AMD and PMD apart in 0x19",
         Chip::YM2151,
         {{0, 0x08, 0x78}, {0, 0x19, 0x20}, {0, 0x19, 0x90}, {0, 0x28, 0x4A}, {0, 0x08, 0x01}, {0, 0x08, 0x00}},
         {{0, 0x19, 0x20}, {0, 0x19, 0x90}, {0, 0x28, 0x4A}, {0, 0x08, 0x00}, {0, 0x08, 0x01}}},
        {"OPL3: the key and rhythm registers of both banks last",
         Chip::YMF262,
         {{1, 0x05, 0x01}, {0, 0xB0, 0x31}, {0, 0xA0, 0x44}, {1, 0xB2, 0x2A}, {0, 0xBD, 0x20}, {0, 0xA0, 0x45}},
         {{1, 0x05, 0x01}, {0, 0xA0, 0x45}, {0, 0xB0, 0x31}, {1, 0xB2, 0x2A}, {0, 0xBD, 0x20}}},
        {"Y8950: ADPCM start and data out",
         Chip::Y8950,
         {{0, 0x07, 0x80}, {0, 0x0F, 0x12}, {0, 0x12, 0x40}},
         {{0, 0x12, 0x40}}},
        {"OPLL: the key registers last",
         Chip::YM2413,
         {{0, 0x20, 0x14}, {0, 0x10, 0xAC}, {0, 0x30, 0x10}},
         {{0, 0x10, 0xAC}, {0, 0x30, 0x10}, {0, 0x20, 0x14}}},
        {"SN76489: each data byte right after its register's latch",
         Chip::SN76489,
         {{0, 0, 0x8E}, {0, 0, 0xA1}, {0, 0, 0x9F}, {0, 0, 0x83}, {0, 0, 0x05}, {0, 0, 0xBF}},
         {{0, 0, 0x83}, {0, 0, 0x05}, {0, 0, 0xA1}, {0, 0, 0x9F}, {0, 0, 0xBF}}},
        {"SCC: the enable bits last",
         Chip::K051649,
         {{3, 0, 0x1F}, {1, 0x00, 0x20}, {2, 0x00, 0x0F}, {3, 0, 0x03}},
         {{1, 0x00, 0x20}, {2, 0x00, 0x0F}, {3, 0, 0x03}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChipState state(c.chip);
        for (const auto& [port, reg, data] : c.song) {
            vgm::Event e;
            e.chip = c.chip;
            e.port = static_cast<std::uint8_t>(port);
            e.reg = static_cast<std::uint8_t>(reg);
            e.data = static_cast<std::uint8_t>(data);
            state.take(e);
        }
        std::vector<Write> got;
        for (const vgm::Event& e : state.writes()) got.emplace_back(e.port, e.reg, e.data);
        EXPECT_EQ(got, c.setUp);
    }
}

}  // namespace
}  // namespace vesk::play
