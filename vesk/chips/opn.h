// The OPN family: YM2203 (OPN), YM2608 (OPNA), YM2612 / YM3438 (OPN2). The
// YM2610 / YM2610B with sample memory is in ym2610h.h: its timing follows
// the same map, but its sample link makes a model of its own.
//
// Register writes are kCmdWriteReg: the address write, wait 1, the data
// write, wait 2. Waits are W(cycles) at the chip's clock (chip.h cycleWait).
//
//   model    port code                 wait 1          wait 2
//   YM2203   0                         W(17)           W(17) SSG 0x00-0x0F
//                                                      W(47) registers with bits 7 and 5 set (0xA0-0xBF, 0xE0-0xFF)
//                                                      W(83) the other FM registers
//   YM2612   1 for 0x000-0x0FF,        W(17)           W(47) / W(83) by the same bit rule (bit 8 not looked at)
//            2 for 0x100-0x1FF
//   YM2608   1 / 2 as the YM2612       W(17)           W(83)
//                                      W(17)           W(576) + 1 us  0x010 rhythm key
//                                      W(17) + 2 us    W(47) + 4 us   0x108 ADPCM memory data
//
// Reads (kCmdReadReg, wait W(17)) by port code: YM2203 1 for the SSG
// 0x00-0x0F, 0 for the rest; YM2608 1 for the SSG, 0 for the rest of bank
// 0, 3 for 0x108 and 0x10F (through the status port), 2 for the rest of
// bank 1; YM2612 0.
//
// YM2203 and YM2608 have a data port (writeData: kCmdWritePort, 1 us) and
// the prescaler: 0x2D then 0x2E written to the address port select division
// by 3. Both are sent after every setClock (taken or not), and by the YM2203
// after its silence table, when the clock is at or below the slot's "PRE13="
// threshold.
//
// Silence: each model's table in opn.cpp, written in its order (sound off
// first, then every register of both banks); the YM2608's also ends a
// sample-memory stream.
#ifndef VESK_CHIPS_OPN_H
#define VESK_CHIPS_OPN_H

#include "chips/chip.h"

namespace vesk {

// The family's FM timing.
class ChipOPN : public Chip {
public:
    using Chip::Chip;
    void updateWaits(std::uint32_t clock) override;

protected:
    // Wait 2 of an FM register by the bit 7 and 5 rule.
    std::uint8_t fmDataWait(std::uint32_t reg) const { return (reg & 0xA0) == 0xA0 ? w47_ : w83_; }

    std::uint8_t w17_ = 0, w47_ = 0, w83_ = 0;
};

// YM2203 and YM2608: the data port and the prescaler.
class ChipOPNPrescaled : public ChipOPN {
public:
    using ChipOPN::ChipOPN;
    // Clocks at or below hz run with the 1/3 prescaler ("PRE13=").
    void setPrescalerThreshold(std::uint32_t hz) { prescalerThreshold_ = hz; }

protected:
    bool doWriteData(std::uint32_t port, std::uint32_t data) override;
    // The base's clock change, then the prescaler step.
    bool doSetClock(std::uint32_t clock, std::uint8_t flag) override;
    void prescalerStep();

private:
    friend struct ChipTestAccess;
    std::uint32_t prescalerThreshold_ = 0;
};

class ChipYM2203 final : public ChipOPNPrescaled {
public:
    using ChipOPNPrescaled::ChipOPNPrescaled;
    // The silence table, then the prescaler step.
    void silence() override;

private:
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t reg) override;
};

class ChipYM2608 final : public ChipOPNPrescaled {
public:
    using ChipOPNPrescaled::ChipOPNPrescaled;
    void updateWaits(std::uint32_t clock) override;
    // The silence table only; the prescaler is left as it is.
    void silence() override;

private:
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t reg) override;

    std::uint8_t w576p1_ = 0;
};

class ChipYM2612 final : public ChipOPN {
public:
    using ChipOPN::ChipOPN;
    void silence() override;

private:
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;
};

}  // namespace vesk

#endif  // VESK_CHIPS_OPN_H
