// The OPL family: YM3812 / YM3526 (OPL2 / OPL), Y8950 (MSX-AUDIO: OPL plus
// ADPCM with sample memory), YMF262 (OPL3), and the YM2413 (OPLL).
//
// Register writes are kCmdWriteReg: the address write, wait 1, the data
// write, wait 2. Waits are W(cycles) at the chip's clock (chip.h cycleWait).
//
//   model    banks (port code)          wait 1       wait 2
//   YM3812   one (0)                    W(12)        W(84) operator and channel registers (0x20 and up)
//   Y8950                                            W(12) control registers (below 0x20)
//                                       W(12) + 2 us W(84) + 4 us  Y8950 0x0F ADPCM memory data
//   YMF262   0x000-0x0FF (1)            W(32)        W(84)
//            0x100-0x1FF (2)
//   YM2413   one (0)                    W(12) + 1 us W(84) + 1 us
//
// Reads (kCmdReadReg, wait W(12)) by port code: YM3812 and YMF262 0;
// Y8950 1 for 0x0F, 14 for the rest. The YM2413 cannot be read (0, nothing
// sent). No model has a data port: writeData sends nothing.
//
// Silence: each model's table in opl.cpp, written in its order (keys off
// and full attenuation first); the YM3812's is the Y8950's FM part, and the
// Y8950's also ends a sample-memory stream.
#ifndef VESK_CHIPS_OPL_H
#define VESK_CHIPS_OPL_H

#include "chips/chip.h"

namespace vesk {

// The family's timing.
class ChipOPL : public Chip {
public:
    using Chip::Chip;
    void updateWaits(std::uint32_t clock) override;

protected:
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    // Wait 2 of a YM3812 / Y8950 register by the 0x20 rule.
    std::uint8_t dataWait(std::uint32_t reg) const { return (reg & 0xE0) ? w84_ : w12_; }

    std::uint8_t w12_ = 0, w84_ = 0;
};

class ChipYM3812 final : public ChipOPL {
public:
    using ChipOPL::ChipOPL;
    void silence() override;

private:
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t reg) override;
};

class ChipY8950 final : public ChipOPL {
public:
    using ChipOPL::ChipOPL;
    void silence() override;

private:
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t reg) override;
};

class ChipYMF262 final : public ChipOPL {
public:
    using ChipOPL::ChipOPL;
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

private:
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t reg) override;

    std::uint8_t w32_ = 0;
};

class ChipYM2413 final : public ChipOPL {
public:
    using ChipOPL::ChipOPL;
    void silence() override;

private:
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t) override { return 0; }
};

}  // namespace vesk

#endif  // VESK_CHIPS_OPL_H
