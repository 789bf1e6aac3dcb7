// The OPM: YM2151.
//
// Register writes are kCmdWriteReg, port code 0: the address write, W(17),
// the data write, W(83) (W(cycles) at the chip's clock, chip.h cycleWait).
// Reads: port code 0, wait W(17). No data port: writeData sends nothing.
//
// Silence: the table in opm.cpp, in its order (LFO reset and every channel
// keyed off first, total levels at full attenuation, then every register).
#ifndef VESK_CHIPS_OPM_H
#define VESK_CHIPS_OPM_H

#include "chips/chip.h"

namespace vesk {

class ChipYM2151 final : public Chip {
public:
    using Chip::Chip;
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

private:
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;

    std::uint8_t w17_ = 0, w83_ = 0;
};

}  // namespace vesk

#endif  // VESK_CHIPS_OPM_H
