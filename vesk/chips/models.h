// The chip models. Each turns register writes into the payloads its slot
// firmware expects, with waits precomputed for the current clock, and knows
// the register writes that silence it. ChipYM2610H is in ym2610h.h.
#ifndef VESK_CHIPS_MODELS_H
#define VESK_CHIPS_MODELS_H

#include "chips/chip.h"

namespace vesk {

// AY-3-8910 / YM2149 (SSG).
class ChipPSG final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    std::uint8_t wait = 0;  // the slot firmware paces the PSG itself
};

// Konami SCC on a cartridge slot: registers are memory-mapped, reached by
// latching a 16-bit address and then writing the data.
class ChipSCC : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t port, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t) override { return 0; }
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    std::uint8_t wait = 50;
};

// SCC+ (SCC-I): the same access, its own register map.
class ChipSCCPlus final : public ChipSCC {
public:
    using ChipSCC::ChipSCC;
    void silence() override;
};

// SN76489A: driven by data bytes on its one port; there are no register
// addresses, so write() is inert.
class ChipSN76489A final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t, std::uint32_t) override { return true; }
    bool doWriteData(std::uint32_t port, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t) override { return 0; }
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    std::uint8_t w32 = 0;
};

// Y8950 (MSX-AUDIO): OPL plus ADPCM with sample memory.
class ChipY8950 final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    std::uint8_t w12 = 0, w12p2 = 0, w84 = 0, w84p4 = 0;
    std::uint8_t sampleWriteMode = 0;
    std::uint32_t sampleWriteCount = 0;
};

// YM2151 (OPM).
class ChipYM2151 final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    std::uint8_t w17 = 0, w83 = 0;
};

// YM2203 (OPN).
class ChipYM2203 final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t port, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t reg) override;
    bool doSetClock(std::uint32_t clock, std::uint8_t flag) override;
    void updateWaits(std::uint32_t clock) override;
    // The silence table, then the prescaler step.
    void silence() override;

    // Clocks at or below this run with the 1/3 prescaler ("PRE13=").
    std::uint32_t prescalerThreshold = 0;
    std::uint8_t w17 = 0, w47 = 0, w83 = 0;
    std::uint8_t portWait = 1;

private:
    void prescalerStep();
};

// YM2413 (OPLL).
class ChipYM2413 final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t) override { return 0; }
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    std::uint8_t w12p1 = 0, w84p1 = 0;
};

// YM2608 (OPNA): two register banks, ADPCM with sample memory.
class ChipYM2608 final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t port, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t reg) override;
    bool doSetClock(std::uint32_t clock, std::uint8_t flag) override;
    void updateWaits(std::uint32_t clock) override;
    // The silence table only; the prescaler is left as it is.
    void silence() override;

    std::uint32_t prescalerThreshold = 0;
    std::uint8_t w17 = 0, w17p2 = 0, w47p4 = 0, w83 = 0, w576p1 = 0;
    std::uint8_t portWait = 1;
    std::uint8_t sampleWriteMode = 0;
    std::uint32_t sampleWriteCount = 0;

private:
    void prescalerStep();
};

// YM2612 / YM3438 (OPN2): two register banks.
class ChipYM2612 final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    std::uint8_t w17 = 0, w47 = 0, w83 = 0;
};

// YM3812 / YM3526 (OPL2 / OPL).
class ChipYM3812 final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    std::uint8_t w12 = 0, w84 = 0;
};

// YMF262 (OPL3): two register banks.
class ChipYMF262 final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    std::uint8_t w12 = 0, w84 = 0, w32 = 0;
};

// A model the library does not know: it takes the slot and drops every
// write, so that chip positions keep matching the records.
class ChipUnknown final : public Chip {
public:
    using Chip::Chip;
    bool doWrite(std::uint32_t, std::uint32_t) override { return true; }
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t) override { return 0; }
};

// Port code of the two-bank models: 1 selects registers 0x000-0x0FF, 2
// registers 0x100-0x1FF. Only bit 8 of the address is looked at.
constexpr std::uint8_t bankPort(std::uint32_t reg) { return (reg & 0x100) ? 2 : 1; }

}  // namespace vesk

#endif  // VESK_CHIPS_MODELS_H
