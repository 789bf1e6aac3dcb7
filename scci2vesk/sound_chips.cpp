#include "sound_chips.h"

#include <cstring>

#include "adapter_config.h"
#include "platform/guarded.h"

namespace scci2vesk {

using vesk::guarded;

AdapterChip::AdapterChip(VeskChip* chip, VeskChipInfo* rec, std::uint32_t busNumber)
    : libraryChip(chip), info(), record(rec) {
    // The record's name field may be full: copy at most its length.
    std::size_t n = strnlen(rec->name, sizeof rec->name);
    if (n > sizeof info.name - 1) n = sizeof info.name - 1;
    std::memcpy(info.name, rec->name, n);
    info.busNumber = busNumber;
    info.clock = rec->clock;
    ChipKind kind = chipKindOf(info.name);
    info.chipType = kind.type;
    info.location = kind.location;
}

AdapterChip::AdapterChip(const AdapterChip& primary, std::uint32_t clock, std::uint32_t busNumber)
    : libraryChip(primary.libraryChip), info(primary.info), record(primary.record) {
    info.clock = clock;
    info.busNumber = busNumber;
}

AdapterChip* AdapterChip::makeVariant(std::uint32_t clock, std::uint32_t busNumber) const {
    return new AdapterChip(*this, clock, busNumber);
}

SoundChipInfo* VESK_SCCI_CALL AdapterChip::chipInfo() { return &info; }
std::int32_t VESK_SCCI_CALL AdapterChip::chipType() { return info.chipType; }

std::int32_t VESK_SCCI_CALL AdapterChip::writeRegister(std::uint32_t address, std::uint32_t data) {
    return guarded(0, [&] { return libraryChip->write(address, data) ? 1 : 0; });
}

std::int32_t VESK_SCCI_CALL AdapterChip::readRegister(std::uint32_t address) {
    return guarded(0, [&] { return static_cast<std::int32_t>(libraryChip->read(address)); });
}

std::int32_t VESK_SCCI_CALL AdapterChip::initChip() {
    return guarded(0, [&] {
        // The entry's clock reaches the board only here; both calls always run.
        bool clocked = libraryChip->setClock(info.clock, 0);
        bool reset = libraryChip->reset();
        return clocked && reset ? 1 : 0;
    });
}

std::uint32_t VESK_SCCI_CALL AdapterChip::chipClock() { return info.clock; }
std::int32_t VESK_SCCI_CALL AdapterChip::readRegister2(std::uint32_t address) { return readRegister(address); }
std::int32_t VESK_SCCI_CALL AdapterChip::unused7() { return 1; }

// ---------------------------------------------------------------- SN76489

AdapterChip* AdapterChipSN76489::makeVariant(std::uint32_t clock, std::uint32_t busNumber) const {
    return new AdapterChipSN76489(*this, clock, busNumber);
}

std::int32_t VESK_SCCI_CALL AdapterChipSN76489::writeRegister(std::uint32_t, std::uint32_t data) {
    return guarded(0, [&] { return libraryChip->writeData(0, data) ? 1 : 0; });
}

// ---------------------------------------------------------------- YM2610+H

AdapterChipYM2610H::AdapterChipYM2610H(VeskChip* chip, VeskChipInfo* rec, std::uint32_t busNumber)
    : AdapterChip(chip, rec, busNumber) {
    allocateImages();
}

AdapterChipYM2610H::AdapterChipYM2610H(const AdapterChip& primary, std::uint32_t clock, std::uint32_t busNumber)
    : AdapterChip(primary, clock, busNumber) {
    allocateImages();
}

AdapterChip* AdapterChipYM2610H::makeVariant(std::uint32_t clock, std::uint32_t busNumber) const {
    return new AdapterChipYM2610H(*this, clock, busNumber);
}

void AdapterChipYM2610H::allocateImages() {
    // Not cleared: pages the host never writes cost no memory. An upload
    // sends the image from its first byte, so bytes below the start address
    // go out as whatever the pages hold (zero for untouched pages).
    images[0].reset(new std::uint8_t[kImageSize]);
    images[1].reset(new std::uint8_t[kImageSize]);
}

bool AdapterChipYM2610H::setAddressByte(std::uint32_t reg, std::uint32_t data) {
    const std::uint32_t byte = data & 0xFF;
    switch (reg) {
    case 0x200: address = (address & 0xFFFF00u) | byte; return true;
    case 0x201: address = (address & 0xFF00FFu) | (byte << 8); return true;
    case 0x202: address = (address & 0x00FFFFu) | (byte << 16); return true;
    default: return false;
    }
}

void AdapterChipYM2610H::upload(std::uint32_t bank) {
    request.data = images[bank].get();
    request.bank = bank;
    request.size = positions[bank];
    request.offset = 0;
    libraryChip->uploadSampleMemory(&request);
}

std::int32_t VESK_SCCI_CALL AdapterChipYM2610H::writeRegister(std::uint32_t a, std::uint32_t d) {
    // An upload starts a thread in the library, which may fail to start.
    return guarded(0, [&] { return writePseudoOrChip(a, d); });
}

std::int32_t AdapterChipYM2610H::writePseudoOrChip(std::uint32_t a, std::uint32_t d) {
    if (!uploadMode) {
        if ((a & 0x600) == 0) return libraryChip->write(a, d) ? 1 : 0;
        if (setAddressByte(a, d)) return 1;
        if (a == 0x203 && d < 2) {
            currentBank = d;
            positions[d] = address;
            uploadMode = true;
        }
        return 1;
    }
    if (setAddressByte(a, d)) return 1;
    if (a == 0x204) {
        // A byte past the end of the image is dropped.
        std::uint32_t& pos = positions[currentBank];
        if (pos < kImageSize) images[currentBank][pos++] = static_cast<std::uint8_t>(d);
        return 1;
    }
    if (a == 0x203) {
        if (d == currentBank) {
            positions[d] = address;
            return 1;
        }
        upload(currentBank);
        if (d < 2) {
            currentBank = d;
            positions[d] = address;
        }
        return 1;
    }
    // Bits 9 and 10 select the pseudo-registers: any other address with
    // them set is no register of the chip, and the library would write the
    // bank-0 register of its low bits.
    if (a & 0x600) return 0;
    upload(currentBank);
    uploadMode = false;
    return libraryChip->write(a, d) ? 1 : 0;
}

}  // namespace scci2vesk
