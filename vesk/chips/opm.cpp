// The OPM: YM2151 (the register map is in opm.h).
#include "chips/opm.h"

#include "transport/protocol.h"

namespace vesk {

using regs::one;
using regs::run;

// ---------------------------------------------------------------- YM2151

namespace {
// YM2151: 0x01 <- 0x02 resets the LFO; 0x08 is key on/off with the channel
// in bits 0-2 (each of the eight channels keyed off); 0x0F noise, 0x10-0x14
// timers and CSM, 0x18-0x19 LFO rate and depth, 0x1B LFO waveform;
// 0x20-0x3F per-channel connection, key code and fraction, sensitivities;
// 0x40-0x5F DT1/MUL; 0x60-0x7F total level (0x7F = most attenuation);
// 0x80-0xFF rates and release.
constexpr RegisterRun kYM2151Silence[] = {
    one(0x01, 0x02),       one(0x08, 0x00), one(0x08, 0x01),       one(0x08, 0x02),       one(0x08, 0x03),
    one(0x08, 0x04),       one(0x08, 0x05), one(0x08, 0x06),       one(0x08, 0x07),       run(0x0F, 0x14, 0x00),
    run(0x18, 0x19, 0x00), one(0x1B, 0x00), run(0x20, 0x5F, 0x00), run(0x60, 0x7F, 0x7F), run(0x80, 0xFF, 0x00),
};
}  // namespace

bool ChipYM2151::doWrite(std::uint32_t reg, std::uint32_t data) {
    pushRegister(0, reg, data, w17_, w83_);
    return true;
}

std::uint32_t ChipYM2151::doRead(std::uint32_t reg) { return requestRegister(0, reg, w17_); }

void ChipYM2151::updateWaits(std::uint32_t clock) {
    w17_ = cycleWait(17, clock);
    w83_ = cycleWait(83, clock);
}

void ChipYM2151::silence() { sendSilenceTable(kYM2151Silence, proto::commandSize(proto::kCmdWriteReg)); }

}  // namespace vesk
