#include "seek.h"

namespace vesk::play {

using vgm::Chip;

namespace {
constexpr std::uint32_t kKeyBit = 0x80000000u;
// SN76489 ids: its latch byte, and the data byte that follows one, per register.
constexpr std::uint32_t kSnLatch = 0x100, kSnData = 0x200;
}  // namespace

ChipState::Role ChipState::roleOf(const vgm::Event& e, std::uint32_t& id) const {
    const std::uint32_t reg = static_cast<std::uint32_t>(e.port) << 8 | e.reg;
    id = reg;
    switch (chip_) {
    case Chip::SN76489:
        id = e.data & 0x80 ? kSnLatch | (e.data >> 4 & 7) : kSnData | snLatch_;
        return Role::Plain;
    case Chip::YM2612:
    case Chip::YM2203:
    case Chip::YM2608:
    case Chip::YM2610:
        // 0x28: key on or off of the channel in its low bits.
        if (reg == 0x028) {
            id = 0x2800 | (e.data & 7);
            return Role::Key;
        }
        if (chip_ == Chip::YM2612 && reg == 0x02A) return Role::Left;  // DAC data
        // The rhythm unit's triggers and the ADPCM units' start and data
        // registers (YM2608: rhythm 0x010, ADPCM-B 0x100 and 0x108; YM2610:
        // ADPCM-B 0x010, ADPCM-A 0x100).
        if (chip_ == Chip::YM2608 && (reg == 0x010 || reg == 0x100 || reg == 0x108)) return Role::Left;
        if (chip_ == Chip::YM2610 && (reg == 0x010 || reg == 0x100)) return Role::Left;
        return Role::Plain;
    case Chip::YM2151:
        if (reg == 0x08) {
            id = 0x0800 | (e.data & 7);
            return Role::Key;
        }
        if (reg == 0x19) id = 0x1900 | (e.data >> 7);  // AMD and PMD share the register
        return Role::Plain;
    case Chip::YM2413: return (reg >= 0x20 && reg <= 0x28) || reg == 0x0E ? Role::Key : Role::Plain;
    case Chip::YM3812:
    case Chip::YM3526:
    case Chip::Y8950:
    case Chip::YMF262:
        if (chip_ == Chip::Y8950 && (reg == 0x07 || reg == 0x0F)) return Role::Left;  // ADPCM start, data
        return (e.reg >= 0xB0 && e.reg <= 0xB8) || reg == 0x0BD ? Role::Key : Role::Plain;
    case Chip::K051649: return e.port == 3 ? Role::Key : Role::Plain;  // the channels' enable bits
    default: return Role::Plain;
    }
}

void ChipState::take(const vgm::Event& e) {
    if (e.kind != vgm::Event::Write) return;
    std::uint32_t id = 0;
    const Role role = roleOf(e, id);
    if (chip_ == Chip::SN76489 && (e.data & 0x80)) snLatch_ = e.data >> 4 & 7;
    if (role == Role::Left) return;
    auto& list = role == Role::Key ? keys_ : plain_;
    const auto [it, fresh] = at_.emplace(role == Role::Key ? id | kKeyBit : id, list.size());
    if (fresh)
        list.push_back(e);
    else
        list[it->second] = e;
}

std::vector<vgm::Event> ChipState::writes() const {
    std::vector<vgm::Event> out;
    out.reserve(plain_.size() + keys_.size());
    if (chip_ == Chip::SN76489) {
        // Each data byte right after its register's latch, wherever the song
        // first wrote it.
        for (const vgm::Event& e : plain_) {
            if (!(e.data & 0x80)) continue;
            out.push_back(e);
            const auto data = at_.find(kSnData | (e.data >> 4 & 7));
            if (data != at_.end()) out.push_back(plain_[data->second]);
        }
        return out;
    }
    out = plain_;
    out.insert(out.end(), keys_.begin(), keys_.end());
    return out;
}

}  // namespace vesk::play
