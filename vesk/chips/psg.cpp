// PSG, SN76489A, SCC and SCC+ (the register map is in psg.h).
#include "chips/psg.h"

#include "transport/protocol.h"

namespace vesk {

using regs::one;
using regs::run;

// ---------------------------------------------------------------- PSG

namespace {
// AY-3-8910 / YM2149: R8-R10 channel amplitudes (mute them first), R0-R5
// tone periods, R6 noise period, R7 mixer, R11-R13 envelope period and
// shape, R14-R15 I/O ports.
constexpr RegisterRun kPsgSilence[] = {
    run(0x08, 0x0A, 0x00),
    run(0x00, 0x07, 0x00),
    run(0x0B, 0x0F, 0x00),
};
}  // namespace

bool ChipPSG::doWrite(std::uint32_t reg, std::uint32_t data) {
    pushRegister(0, reg, data, 0, 0);
    return true;
}

std::uint32_t ChipPSG::doRead(std::uint32_t reg) { return requestRegister(1, reg, 0); }

void ChipPSG::silence() { sendSilenceTable(kPsgSilence, proto::commandSize(proto::kCmdWriteReg)); }

// ---------------------------------------------------------------- SCC, SCC+

namespace {
// Port codes of the cartridge bus: address high byte, address low byte
// (both latched), then the data write.
constexpr std::uint8_t kSccAddressHigh = 0x0D;
constexpr std::uint8_t kSccAddressLow = 0x0E;
constexpr std::uint8_t kSccData = 0x0F;
constexpr std::uint8_t kSccWait = 50;  // us, after each bus write

// SCC (SCC-compatible mode): 0x9000 <- 0x3F maps the SCC into 0x9800-0x98FF;
// 0x988F channel enable, 0x988A-0x988E volumes, 0x98E0 deformation,
// 0x9800-0x987F waveforms of channels 1-4 (channel 5 shares 4's),
// 0x9880-0x9889 frequency dividers.
constexpr RegisterRun kSccSilence[] = {
    one(0x9000, 0x3F), one(0x988F, 0x00), run(0x988A, 0x988E, 0x00), one(0x98E0, 0x00), run(0x9800, 0x9889, 0x00),
};

// SCC+ (SCC-I mode): 0xBFFE <- 0x20 selects SCC-I mode, 0xB000 <- 0x80 maps
// its registers into 0xB800-0xB8FF; 0xB8AF channel enable, 0xB8AA-0xB8AE
// volumes, 0xB8C0 deformation, 0xB800-0xB89F waveforms of all five
// channels, 0xB8A0-0xB8A9 frequency dividers.
constexpr RegisterRun kSccPlusSilence[] = {
    one(0xBFFE, 0x20),         one(0xB000, 0x80), one(0xB8AF, 0x00),
    run(0xB8AA, 0xB8AE, 0x00), one(0xB8C0, 0x00), run(0xB800, 0xB8A9, 0x00),
};
}  // namespace

bool ChipSCC::doWrite(std::uint32_t reg, std::uint32_t data) {
    // One 15-byte payload: three port writes the board replays back to back.
    std::uint8_t payload[3 * proto::commandSize(proto::kCmdWritePort)];
    std::uint8_t* c = payload;
    const std::uint8_t ports[3] = {kSccAddressHigh, kSccAddressLow, kSccData};
    const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg),
                                   static_cast<std::uint8_t>(data)};
    for (int i = 0; i < 3; ++i)
        c += proto::encodeWritePort(c, static_cast<std::uint8_t>(slotNibble() | ports[i]), bytes[i], kSccWait);
    pushPayload(payload, sizeof payload);
    markActivity();
    return true;
}

bool ChipSCC::doWriteData(std::uint32_t port, std::uint32_t data) {
    pushPort(port, data, kSccWait);
    return true;
}

void ChipSCC::silence() { sendSilenceTable(kSccSilence, 3 * proto::commandSize(proto::kCmdWritePort)); }

void ChipSCCPlus::silence() { sendSilenceTable(kSccPlusSilence, 3 * proto::commandSize(proto::kCmdWritePort)); }

// ---------------------------------------------------------------- SN76489A

namespace {
// Data bytes to the one port: 1cc1aaaa sets channel cc's attenuation (0xF =
// off) for tones 0-2 and noise; 0xE0 sets the noise control (periodic
// noise, shift rate N/512); 1cc0ffff followed by 00ffffff sets a tone
// period (here 1, far above hearing) for tones 0-2.
constexpr RegisterRun kSn76489Silence[] = {
    one(0, 0x9F), one(0, 0xBF), one(0, 0xDF), one(0, 0xFF), one(0, 0xE0), one(0, 0x81),
    one(0, 0x00), one(0, 0xA1), one(0, 0x00), one(0, 0xC1), one(0, 0x00),
};
}  // namespace

bool ChipSN76489A::doWriteData(std::uint32_t port, std::uint32_t data) {
    pushPort(port, data, w32_);
    markActivity();
    return true;
}

void ChipSN76489A::updateWaits(std::uint32_t clock) { w32_ = cycleWait(32, clock); }

void ChipSN76489A::silence() { sendSilenceTable(kSn76489Silence, proto::commandSize(proto::kCmdWritePort), true); }

}  // namespace vesk
