// The OPN family: YM2203, YM2608, YM2612/YM3438 (the register map is in opn.h).
#include "chips/opn.h"

#include "transport/protocol.h"

namespace vesk {

using regs::groups;
using regs::one;
using regs::run;

namespace {

constexpr std::uint8_t kPrescalerSelect6 = 0x2D;
constexpr std::uint8_t kPrescalerSelect3 = 0x2E;
constexpr std::uint8_t kPortWait = 1;  // us, after a data-port write

// YM2203: 0x08-0x0A SSG amplitudes (muted first); 0x28 key on/off, channel
// in bits 0-1; 0x00-0x07 SSG tone and noise periods and mixer; 0x0B-0x0F SSG
// envelope and I/O ports; 0x24-0x27 timers and channel 3 mode; 0x30-0xB2
// per-operator and per-channel FM registers (three channels, offsets +0..+2
// of every fourth register).
constexpr RegisterRun kYM2203Silence[] = {
    run(0x08, 0x0A, 0x00), one(0x28, 0x00),       one(0x28, 0x01),       one(0x28, 0x02),
    run(0x00, 0x07, 0x00), run(0x0B, 0x0F, 0x00), run(0x24, 0x27, 0x00), groups(0x30, 0xB0, 0x00),
};

// YM2608. Bank 0 (0x000-0x0FF): SSG 0x00-0x0F, rhythm 0x10-0x1D, common FM
// 0x22-0x29, FM channels 1-3 at 0x30-0xB6. Bank 1 (0x100-0x1FF): ADPCM
// 0x100-0x110, FM channels 4-6 at 0x130-0x1B6.
//   0x029 bit 7 enables channels 4-6; 0x028 keys off channel codes 0-2 and
//   4-6; 0x010 <- 0xBF dumps all six rhythm sounds; 0x011 rhythm total level;
//   0x018-0x01D rhythm pan and level (pan bits clear: no output); 0x10B
//   ADPCM level; 0x027 <- 0x30 resets the timer flags; 0x040-0x04C <- 0x7F
//   total level at full attenuation; block/F-number high (0xA4..) goes before
//   F-number low (0xA0..), then the channel 3 special frequencies (0xA8,
//   0xAC) and feedback/algorithm (0xB0); 0x007 <- 0x3F turns every SSG tone
//   and noise off; 0x100 <- 0 stops the ADPCM (and ends sample-write mode);
//   0x0B4-0x0B6 <- 0xC0 leaves channels 1-3 on both outputs; 0x029 <- 0 at
//   the end goes back to three channels.
constexpr RegisterRun kYM2608Silence[] = {
    one(0x029, 0x80),           one(0x028, 0x00),           one(0x028, 0x01),           one(0x028, 0x02),
    one(0x028, 0x04),           one(0x028, 0x05),           one(0x028, 0x06),           run(0x008, 0x00A, 0x00),
    one(0x011, 0x3F),           one(0x010, 0xBF),           run(0x018, 0x01D, 0x1F),    one(0x10B, 0x00),
    one(0x022, 0x00),           run(0x024, 0x026, 0x00),    one(0x027, 0x30),           groups(0x030, 0x03C, 0x00),
    groups(0x040, 0x04C, 0x7F), groups(0x050, 0x09C, 0x00), groups(0x0A4, 0x0A4, 0x00), groups(0x0A0, 0x0A0, 0x00),
    groups(0x0A8, 0x0A8, 0x00), groups(0x0AC, 0x0AC, 0x00), groups(0x0B0, 0x0B0, 0x00), groups(0x130, 0x13C, 0x00),
    groups(0x140, 0x14C, 0x7F), groups(0x150, 0x19C, 0x00), groups(0x1A4, 0x1A4, 0x00), groups(0x1A0, 0x1A0, 0x00),
    groups(0x1A8, 0x1A8, 0x00), groups(0x1AC, 0x1AC, 0x00), groups(0x1B0, 0x1B0, 0x00), run(0x000, 0x006, 0x00),
    one(0x007, 0x3F),           run(0x00B, 0x00F, 0x00),    run(0x100, 0x107, 0x00),    run(0x109, 0x10A, 0x00),
    run(0x10C, 0x10D, 0x00),    one(0x110, 0x00),           run(0x0B4, 0x0B6, 0xC0),    run(0x1B4, 0x1B6, 0x00),
    one(0x029, 0x00),
};

// YM2612 / YM3438: 0x028 keys off channel codes 0-2 and 4-6; 0x02B <- 0
// turns the DAC off; 0x022 LFO; 0x024-0x027 timers and channel 3 mode;
// then every operator and channel register of both banks (0xB4-0xB6 <- 0
// also takes each channel off both outputs).
constexpr RegisterRun kYM2612Silence[] = {
    one(0x028, 0x00),        one(0x028, 0x01),           one(0x028, 0x02),           one(0x028, 0x04),
    one(0x028, 0x05),        one(0x028, 0x06),           one(0x02B, 0x00),           one(0x022, 0x00),
    run(0x024, 0x027, 0x00), groups(0x030, 0x0B4, 0x00), groups(0x130, 0x1B4, 0x00),
};

// YM2608 registers with their own timing or role.
constexpr std::uint32_t kRhythmKey = 0x010;
constexpr std::uint32_t kAdpcmControl = 0x100;  // bit 6: sample memory access
constexpr std::uint32_t kAdpcmData = 0x108;     // sample memory data
constexpr std::uint32_t kAdpcmPcmData = 0x10F;
constexpr std::uint32_t kFlagControl = 0x110;

}  // namespace

// ---------------------------------------------------------------- family

void ChipOPN::updateWaits(std::uint32_t clock) {
    w17_ = cycleWait(17, clock);
    w47_ = cycleWait(47, clock);
    w83_ = cycleWait(83, clock);
}

bool ChipOPNPrescaled::doWriteData(std::uint32_t port, std::uint32_t data) {
    pushPort(port, data, kPortWait);
    return true;
}

bool ChipOPNPrescaled::doSetClock(std::uint32_t clock, std::uint8_t flag) {
    bool result = Chip::doSetClock(clock, flag);
    prescalerStep();
    return result;
}

void ChipOPNPrescaled::prescalerStep() {
    if (record().clock <= prescalerThreshold_) {
        writeData(0, kPrescalerSelect6);
        writeData(0, kPrescalerSelect3);
    }
}

// ---------------------------------------------------------------- YM2203

bool ChipYM2203::doWrite(std::uint32_t reg, std::uint32_t data) {
    std::uint8_t w2 = static_cast<std::uint8_t>(reg) < 0x10 ? w17_ : fmDataWait(reg);
    pushRegister(0, reg, data, w17_, w2);
    return true;
}

std::uint32_t ChipYM2203::doRead(std::uint32_t reg) { return requestRegister(reg < 0x10 ? 1 : 0, reg, w17_); }

void ChipYM2203::silence() {
    sendSilenceTable(kYM2203Silence, proto::commandSize(proto::kCmdWriteReg));
    prescalerStep();
}

// ---------------------------------------------------------------- YM2608

bool ChipYM2608::doWrite(std::uint32_t reg, std::uint32_t data) {
    std::uint8_t port = bankPort(reg);
    if (reg == kAdpcmData) {
        pushRegister(port, reg, data, static_cast<std::uint8_t>(w17_ + 2), static_cast<std::uint8_t>(w47_ + 4));
    } else if (sampleStreamRunning() && reg == kFlagControl) {
        return true;  // the flag register would disturb the running transfer
    } else {
        pushRegister(port, reg, data, w17_, reg == kRhythmKey ? w576p1_ : w83_);
    }
    sampleWriteFlow(reg == kAdpcmControl, data);
    return true;
}

std::uint32_t ChipYM2608::doRead(std::uint32_t reg) {
    std::uint8_t port;
    if (reg < 0x010)
        port = 1;
    else if (reg < 0x100)
        port = 0;
    else if (reg == kAdpcmData || reg == kAdpcmPcmData)
        port = 3;
    else
        port = 2;
    return requestRegister(port, reg, w17_);
}

void ChipYM2608::updateWaits(std::uint32_t clock) {
    ChipOPN::updateWaits(clock);
    w576p1_ = static_cast<std::uint8_t>(cycleWait(576, clock) + 1);
}

void ChipYM2608::silence() { sendSilenceTable(kYM2608Silence, proto::commandSize(proto::kCmdWriteReg)); }

// ---------------------------------------------------------------- YM2612

bool ChipYM2612::doWrite(std::uint32_t reg, std::uint32_t data) {
    pushRegister(bankPort(reg), reg, data, w17_, fmDataWait(reg));
    return true;
}

std::uint32_t ChipYM2612::doRead(std::uint32_t reg) { return requestRegister(0, reg, w17_); }

void ChipYM2612::silence() { sendSilenceTable(kYM2612Silence, proto::commandSize(proto::kCmdWriteReg)); }

}  // namespace vesk
