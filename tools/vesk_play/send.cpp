#include "send.h"

namespace vesk::play {

// SCC and SCC+ addresses of the K051649 port writes of the log.
std::vector<std::uint32_t> sccAddresses(bool plus, std::uint8_t port, std::uint8_t reg) {
    switch (port) {
    case 0:  // waveforms of channels 1-4; channel 5 shares channel 4's
        if (reg >= 0x80) return {};
        if (!plus) return {0x9800u + reg};
        if (reg >= 0x60) return {0xB800u + reg, 0xB820u + reg};
        return {0xB800u + reg};
    case 1:
        return reg < 0x0A ? std::vector<std::uint32_t>{(plus ? 0xB8A0u : 0x9880u) + reg} : std::vector<std::uint32_t>{};
    case 2:
        return reg < 0x05 ? std::vector<std::uint32_t>{(plus ? 0xB8AAu : 0x988Au) + reg} : std::vector<std::uint32_t>{};
    case 3: return {plus ? 0xB8AFu : 0x988Fu};
    case 4:  // the K052539's five waveforms
        if (plus) return reg < 0xA0 ? std::vector<std::uint32_t>{0xB800u + reg} : std::vector<std::uint32_t>{};
        return reg < 0x80 ? std::vector<std::uint32_t>{0x9800u + reg} : std::vector<std::uint32_t>{};
    case 5: return {plus ? 0xB8C0u : 0x98E0u};
    default: return {};
    }
}

// at: when the write's turn came (the time noted for its calls).
void sendWrite(Part& p, const vgm::Event& e, const CallLog& log, Clock::time_point at) {
    VeskChip* c = p.handle;
    auto write = [&](std::uint32_t address) {
        log.note(at, address, e.data);
        c->write(address, e.data);
    };
    switch (p.chip) {
    case Chip::SN76489:
        log.note(at, 0, e.data);
        c->writeData(0, e.data);
        break;
    case Chip::K051649:
        for (std::uint32_t a : sccAddresses(p.model == "SCC+", e.port, e.reg)) write(a);
        break;
    case Chip::YM2612:
    case Chip::YM2608:
    case Chip::YM2610:
    case Chip::YMF262: write(static_cast<std::uint32_t>(e.port) << 8 | e.reg); break;
    default: write(e.reg); break;
    }
    ++p.writes;
}

namespace {

// Sample memory of the DELTA-T unit, written through the chip's own
// memory-write path: memory write mode, 8-bit RAM, the start and stop
// addresses in 32-byte units, the bytes to the data register, then the unit
// reset. base is 0x100 on the YM2608, 0x00 on the Y8950 (its registers
// 0x07-0x0F).
void loadDeltaT(Part& p, const vgm::Song& song, const vgm::Event& e, const CallLog& log) {
    const bool opna = p.chip == Chip::YM2608;
    const std::uint32_t control = opna ? 0x100 : 0x07, type = opna ? 0x101 : 0x08;
    const std::uint32_t startL = opna ? 0x102 : 0x09, stopL = opna ? 0x104 : 0x0B, data = opna ? 0x108 : 0x0F;
    const std::uint32_t first = e.start >> 5, last = (e.start + e.length - 1) >> 5;
    VeskChip* c = p.handle;
    auto put = [&](std::uint32_t address, std::uint32_t value) {
        if (log.calls) log.note(Clock::now(), address, static_cast<std::uint8_t>(value));
        c->write(address, value);
    };
    put(control, 0x01);
    put(control, 0x60);
    put(type, opna ? 0x02 : 0x00);
    put(startL, first & 0xFF);
    put(startL + 1, first >> 8 & 0xFF);
    put(stopL, last & 0xFF);
    put(stopL + 1, last >> 8 & 0xFF);
    if (opna) {
        put(0x10C, 0xFF);
        put(0x10D, 0xFF);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(song.bytes.data()) + e.offset;
    for (std::uint32_t i = 0; i < e.length; ++i) put(data, bytes[i]);
    put(control, 0x00);
    put(control, 0x01);
    p.writes += e.length + 9;
}

}  // namespace

void sendLoad(Part& p, const vgm::Song& song, const vgm::Event& e, std::vector<std::string>& notes,
              const CallLog& log) {
    if (e.length == 0) return;
    if (e.memory == vgm::Memory::YM2610AdpcmA || e.memory == vgm::Memory::YM2610DeltaT) {
        SampleBlock block{reinterpret_cast<const std::uint8_t*>(song.bytes.data()) + e.offset,
                          e.memory == vgm::Memory::YM2610AdpcmA ? 0u : 1u, e.length, e.start};
        if (!p.handle->uploadSampleMemory(&block))
            notes.push_back("sample memory load of " + std::to_string(e.length) + " bytes at " +
                            std::to_string(e.start) + " refused by the chip");
        return;
    }
    if (p.chip == Chip::YM2203) return;  // an OPN log carries no OPNA memory
    loadDeltaT(p, song, e, log);
}


}  // namespace vesk::play
