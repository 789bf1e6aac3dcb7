// The PSG-like chips: AY-3-8910 / YM2149 (SSG), SN76489A, and the SCC /
// SCC+ on a cartridge slot. None needs waits for its clock but the
// SN76489A: the slot firmware paces the PSG, the SCC bus has its own.
//
//   model     write                                         wait
//   PSG       kCmdWriteReg, port code 0, R0-R15             0 / 0
//   SN76489A  data bytes to its one port (writeData:        W(32)
//             kCmdWritePort); no register addresses, write() is inert
//   SCC/SCC+  registers memory-mapped: one 15-byte payload  50 us each
//             of three kCmdWritePorts, address high (port
//             code 0x0D), address low (0x0E), data (0x0F);
//             writeData is one kCmdWritePort
//
// Reads: the PSG by port code 1 (wait 0); the others cannot be read (0,
// nothing sent). A write counts as activity, a port write only on the
// SN76489A.
//
// Silence: each model's table in psg.cpp, written in its order (channels
// muted first). The SCC's goes through the SCC-compatible register map,
// the SCC+'s selects SCC-I mode first and uses its map.
#ifndef VESK_CHIPS_PSG_H
#define VESK_CHIPS_PSG_H

#include "chips/chip.h"

namespace vesk {

class ChipPSG final : public Chip {
public:
    using Chip::Chip;
    void silence() override;

private:
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;
};

class ChipSN76489A final : public Chip {
public:
    using Chip::Chip;
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

private:
    bool doWrite(std::uint32_t, std::uint32_t) override { return true; }
    bool doWriteData(std::uint32_t port, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t) override { return 0; }

    std::uint8_t w32_ = 0;
};

class ChipSCC : public Chip {
public:
    using Chip::Chip;
    void silence() override;

private:
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t port, std::uint32_t data) override;
    std::uint32_t doRead(std::uint32_t) override { return 0; }
};

// The SCC's access, the SCC+'s register map.
class ChipSCCPlus final : public ChipSCC {
public:
    using ChipSCC::ChipSCC;
    void silence() override;
};

}  // namespace vesk

#endif  // VESK_CHIPS_PSG_H
