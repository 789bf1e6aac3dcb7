// The VGM file format as the tools read (vesk_play) and write it (vesk_sim):
// where the header's fields lie and since which version, the bits of a chip's
// clock field, the commands the tools use and how many bytes each command
// takes. The chip families, with their clock fields, write commands and
// stream ids, are rows of the chip catalogue (chips/chip_models.def).
//
// Integers are little-endian. The end-of-file, GD3, loop and data offsets
// count from their own field's position.
#ifndef VESK_TOOLS_VGM_FORMAT_H
#define VESK_TOOLS_VGM_FORMAT_H

#include <array>
#include <cstdint>

#include "chips/chip_models.h"

namespace vesk::vgm {

constexpr std::uint32_t kSampleRate = 44100;

using Family = catalogue::Family;

// ---------------------------------------------------------------- header

namespace field {
constexpr std::uint32_t kIdent = 0x00;  // "Vgm "
constexpr std::uint32_t kEof = 0x04;
constexpr std::uint32_t kVersion = 0x08;  // BCD, 0x00000171 for 1.71
constexpr std::uint32_t kGd3 = 0x14;
constexpr std::uint32_t kSamples = 0x18;
constexpr std::uint32_t kLoop = 0x1C;
constexpr std::uint32_t kLoopSamples = 0x20;
constexpr std::uint32_t kSnFeedback = 0x28;    // 2 bytes, since 1.10
constexpr std::uint32_t kSnShiftWidth = 0x2A;  // 1 byte, since 1.10
constexpr std::uint32_t kSnFlags = 0x2B;       // 1 byte, since 1.51
constexpr std::uint32_t kData = 0x34;          // since 1.50
constexpr std::uint32_t kAyType = 0x78;        // 1 byte
constexpr std::uint32_t kAyFlags = 0x79;       // 1 byte
}  // namespace field

constexpr std::uint32_t kSnFieldsSince = 0x110;
constexpr std::uint32_t kSnFlagsSince = 0x151;
constexpr std::uint32_t kDataFieldSince = 0x150;
// The header of a file without a data offset, where its commands start; no
// file is shorter.
constexpr std::uint32_t kMinHeaderSize = 0x40;

// A chip's clock field: the clock in Hz and two flags.
constexpr std::uint32_t kClockMask = 0x3FFFFFFF;
constexpr std::uint32_t kDualBit = 0x40000000;     // two chips, both at this clock
constexpr std::uint32_t kVariantBit = 0x80000000;  // the family's variant: YM2610B, K052539 (SCC+)
// The AY8910 family marks its variant in the type byte instead: 0x0n the
// AY-3-891x, 0x1n the YM2149 family.
constexpr std::uint8_t kAyTypeYM2149 = 0x10;

// ---------------------------------------------------------------- commands

namespace cmd {
constexpr std::uint8_t kSecondSN76489 = 0x30;  // dd: the second SN76489
constexpr std::uint8_t kFirstPair = 0x51;      // 0x51-0x5F aa dd: register writes (the catalogue's commands)
constexpr std::uint8_t kLastPair = 0x5F;
constexpr std::uint8_t kSecondPair = 0x50;  // added: the same write to the second chip (0xA1-0xAF)
constexpr std::uint8_t kWait = 0x61;        // nnnn samples
constexpr std::uint8_t kWait735 = 0x62;     // a 60th of a second
constexpr std::uint8_t kWait882 = 0x63;     // a 50th of a second
constexpr std::uint8_t kEnd = 0x66;
constexpr std::uint8_t kDataBlock = 0x67;        // 0x66 tt ssssssss, then the data
constexpr std::uint8_t kShortWait = 0x70;        // 0x70-0x7F: 1-16 samples
constexpr std::uint8_t kYM2612Pcm = 0x80;        // 0x80-0x8F: the next PCM byte to YM2612 0x2A, then 0-15 samples
constexpr std::uint8_t kStreamSetUp = 0x90;      // ss cc pp rr
constexpr std::uint8_t kStreamData = 0x91;       // ss bb ll oo
constexpr std::uint8_t kStreamFrequency = 0x92;  // ss ffffffff
constexpr std::uint8_t kStreamStart = 0x93;      // ss aaaaaaaa mm llllllll
constexpr std::uint8_t kStreamStop = 0x94;       // ss (0xFF: all)
constexpr std::uint8_t kStreamBlock = 0x95;      // ss bbbb ff
constexpr std::uint8_t kPcmSeek = 0xE0;          // oooooooo
}  // namespace cmd
// AY8910 and K051649 writes name the second chip by bit 7 of their first
// operand.
constexpr std::uint8_t kSecondChipBit = 0x80;

// Bytes each command takes, operands included; 0 for bytes that are no
// command and for 0x67, whose length is in the block. Commands the tools do
// not play are still stepped over by their length.
inline constexpr std::array<std::uint8_t, 256> kCommandLength = [] {
    struct Range {
        std::uint8_t first, last, length;
    };
    constexpr Range ranges[] = {
        {0x30, 0x3F, 2},  {0x40, 0x4E, 3}, {0x4F, 0x50, 2},  {0x51, 0x5F, 3}, {0x61, 0x61, 3}, {0x62, 0x63, 1},
        {0x64, 0x64, 4},  {0x66, 0x66, 1}, {0x68, 0x68, 12}, {0x70, 0x8F, 1}, {0x90, 0x91, 5}, {0x92, 0x92, 6},
        {0x93, 0x93, 11}, {0x94, 0x94, 2}, {0x95, 0x95, 5},  {0xA0, 0xBF, 3}, {0xC0, 0xDF, 4}, {0xE0, 0xFF, 5},
    };
    std::array<std::uint8_t, 256> length{};
    for (const Range& r : ranges)
        for (unsigned c = r.first; c <= r.last; ++c) length[c] = r.length;
    return length;
}();

// The register-write commands 0x51-0x5F (and 0xA1-0xAF for second chips)
// by low nibble: the family and port each writes, Family::None for those
// of no catalogued family.
struct PairWrite {
    Family family = Family::None;
    std::uint8_t port = 0;
};
inline constexpr std::array<PairWrite, 16> kPairWrites = [] {
    std::array<PairWrite, 16> pairs{};
    for (const catalogue::FamilyRow& f : catalogue::kFamilies) {
        if (f.command < cmd::kFirstPair || f.command > cmd::kLastPair) continue;
        for (std::uint8_t port = 0; port < f.ports; ++port) pairs[(f.command + port) & 0x0F] = {f.id, port};
    }
    return pairs;
}();

// The family a DAC stream's chip id (low 7 bits) names, Family::None for
// one not catalogued.
constexpr Family streamFamily(std::uint8_t id) {
    for (const catalogue::FamilyRow& f : catalogue::kFamilies)
        if (f.streamId == (id & 0x7F)) return f.id;
    return Family::None;
}

}  // namespace vesk::vgm

#endif  // VESK_TOOLS_VGM_FORMAT_H
