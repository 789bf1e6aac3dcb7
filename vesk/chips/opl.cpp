// The OPL family: Y8950, YM3812/YM3526, YMF262, and the YM2413 (the
// register map is in opl.h).
#include "chips/opl.h"

#include "transport/protocol.h"

namespace vesk {

using regs::one;
using regs::run;

namespace {

// Y8950. FM part as in the YM3812: 0xB0-0xB8 key off (with block and
// F-number high) first; 0x40-0x55 <- 0x3F total level at full attenuation;
// 0x01 test, 0x02-0x04 timers and their control; 0x08 CSM and note select;
// 0x20-0x35 AM/VIB/EG/KSR/MUL; 0x60-0x75 attack and decay; 0x80-0x95
// sustain and release; 0xA0-0xA8 F-number low; 0xBD rhythm and depths;
// 0xC0-0xC8 feedback and connection; 0xE0-0xF5 waveform select.
// ADPCM part: 0x07-0x08 control (0x07 <- 0 stops it and ends sample-write
// mode), 0x09-0x0A start address, 0x0B-0x0C <- 0xFF stop address at the
// top, 0x0D-0x0E prescaler, 0x10-0x11 delta-N, 0x12 ADPCM level.
constexpr RegisterRun kY8950Silence[] = {
    run(0xB0, 0xB8, 0x00),
    run(0x40, 0x55, 0x3F),
    run(0x01, 0x04, 0x00),
    one(0x08, 0x00),
    run(0x20, 0x35, 0x00),
    run(0x60, 0x75, 0x00),
    run(0x80, 0x95, 0x00),
    run(0xA0, 0xA8, 0x00),
    one(0xBD, 0x00),
    run(0xC0, 0xC8, 0x00),
    run(0xE0, 0xF5, 0x00),
    // YM3812 / YM3526 stop here.
    run(0x07, 0x0A, 0x00),
    run(0x0B, 0x0C, 0xFF),
    run(0x0D, 0x0E, 0x00),
    run(0x10, 0x12, 0x00),
};
constexpr std::size_t kYM3812SilenceRuns = 11;

// YMF262: 0x105 bit 0 (NEW) opens the OPL3 register set, so it comes first
// and is cleared last. Key off both banks (0xB0-0xB8, 0x1B0-0x1B8), total
// levels to full attenuation, then: 0x001/0x101 test, 0x002-0x004 timers,
// 0x104 four-operator connections, 0x008 note select, and every operator
// and channel register of both banks (0xC0-0xC8 <- 0 also takes each
// channel off all four outputs).
constexpr RegisterRun kYMF262Silence[] = {
    one(0x105, 0x01),        run(0x0B0, 0x0B8, 0x00), run(0x1B0, 0x1B8, 0x00), run(0x040, 0x055, 0x3F),
    run(0x140, 0x155, 0x3F), one(0x001, 0x00),        one(0x101, 0x00),        run(0x002, 0x004, 0x00),
    one(0x104, 0x00),        one(0x008, 0x00),        run(0x020, 0x035, 0x00), run(0x060, 0x075, 0x00),
    run(0x080, 0x095, 0x00), run(0x0A0, 0x0A8, 0x00), one(0x0BD, 0x00),        run(0x0C0, 0x0C8, 0x00),
    run(0x0E0, 0x0F5, 0x00), run(0x120, 0x135, 0x00), run(0x160, 0x175, 0x00), run(0x180, 0x195, 0x00),
    run(0x1A0, 0x1A8, 0x00), run(0x1C0, 0x1C8, 0x00), run(0x1E0, 0x1F5, 0x00), one(0x105, 0x00),
};

// YM2413: 0x0E <- 0 leaves rhythm mode; 0x30-0x38 instrument and volume;
// 0x20-0x28 <- 0 keys every channel off (sustain, key, block, F-number
// high); 0x00-0x07 the user instrument; 0x10-0x18 F-number low.
constexpr RegisterRun kYM2413Silence[] = {
    one(0x0E, 0x00), run(0x30, 0x38, 0x00), run(0x20, 0x28, 0x00), run(0x00, 0x07, 0x00), run(0x10, 0x18, 0x00),
};

// Y8950 registers with their own role.
constexpr std::uint32_t kFlagControl = 0x04;
constexpr std::uint32_t kAdpcmControl = 0x07;  // bit 6: sample memory access
constexpr std::uint32_t kAdpcmData = 0x0F;     // sample memory data

}  // namespace

// ---------------------------------------------------------------- family

void ChipOPL::updateWaits(std::uint32_t clock) {
    w12_ = cycleWait(12, clock);
    w84_ = cycleWait(84, clock);
}

// ---------------------------------------------------------------- Y8950

bool ChipY8950::doWrite(std::uint32_t reg, std::uint32_t data) {
    if (reg == kAdpcmData) {
        pushRegister(0, reg, data, static_cast<std::uint8_t>(w12_ + 2), static_cast<std::uint8_t>(w84_ + 4));
    } else if (sampleStreamRunning() && reg == kFlagControl) {
        return true;  // the flag register would disturb the running transfer
    } else {
        pushRegister(0, reg, data, w12_, dataWait(reg));
    }
    sampleWriteFlow(reg == kAdpcmControl, data);
    return true;
}

std::uint32_t ChipY8950::doRead(std::uint32_t reg) { return requestRegister(reg == kAdpcmData ? 1 : 14, reg, w12_); }

void ChipY8950::silence() { sendSilenceTable(kY8950Silence, proto::commandSize(proto::kCmdWriteReg)); }

// ---------------------------------------------------------------- YM3812

bool ChipYM3812::doWrite(std::uint32_t reg, std::uint32_t data) {
    pushRegister(0, reg, data, w12_, dataWait(reg));
    return true;
}

std::uint32_t ChipYM3812::doRead(std::uint32_t reg) { return requestRegister(0, reg, w12_); }

void ChipYM3812::silence() {
    sendSilenceTable(kY8950Silence, kYM3812SilenceRuns, proto::commandSize(proto::kCmdWriteReg));
}

// ---------------------------------------------------------------- YMF262

bool ChipYMF262::doWrite(std::uint32_t reg, std::uint32_t data) {
    pushRegister(bankPort(reg), reg, data, w32_, w84_);
    return true;
}

std::uint32_t ChipYMF262::doRead(std::uint32_t reg) { return requestRegister(0, reg, w12_); }

void ChipYMF262::updateWaits(std::uint32_t clock) {
    ChipOPL::updateWaits(clock);
    w32_ = cycleWait(32, clock);
}

void ChipYMF262::silence() { sendSilenceTable(kYMF262Silence, proto::commandSize(proto::kCmdWriteReg)); }

// ---------------------------------------------------------------- YM2413

bool ChipYM2413::doWrite(std::uint32_t reg, std::uint32_t data) {
    pushRegister(0, reg, data, static_cast<std::uint8_t>(w12_ + 1), static_cast<std::uint8_t>(w84_ + 1));
    return true;
}

void ChipYM2413::silence() { sendSilenceTable(kYM2413Silence, proto::commandSize(proto::kCmdWriteReg)); }

}  // namespace vesk
