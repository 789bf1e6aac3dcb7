// Handing chips to hosts, resets, and the board's I2C bus and attenuator.
#include <algorithm>

#include "core/manager.h"

namespace vesk {

// ---------------------------------------------------------------- chip access
// The chip table is empty until the chip subsystem builds it; these walk
// whatever it holds.

VeskChip* VeskManagerImp::getChipByIndex(std::uint32_t, std::uint32_t) { return nullptr; }
VeskChip* VeskManagerImp::getChipBySlot(const char*, std::uint32_t, std::uint32_t) { return nullptr; }
VeskChip* VeskManagerImp::getChip(const char*, std::uint32_t) { return nullptr; }

bool VeskManagerImp::releaseChip(VeskChip* chip) {
    return std::find(chips_.begin(), chips_.end(), chip) != chips_.end() && chip != nullptr;
}

void VeskManagerImp::releaseAllChips() {}
bool VeskManagerImp::resetBoards() { return true; }
bool VeskManagerImp::resetChips() { return true; }

std::uint32_t VeskManagerImp::i2cRead(const char*, std::uint8_t, std::uint8_t*, std::uint8_t, std::uint8_t,
                                      const std::uint8_t*, std::uint8_t, std::uint32_t) {
    return 0;
}
bool VeskManagerImp::i2cWrite(const char*, std::uint8_t, const std::uint8_t*, std::uint8_t) { return false; }
bool VeskManagerImp::i2cProbe(const char*, std::uint8_t) { return false; }
bool VeskManagerImp::setOutputVolume(const char*, std::uint32_t, std::uint32_t, std::uint32_t) { return false; }
bool VeskManagerImp::getOutputVolume(const char*, std::uint32_t*, std::uint32_t, std::uint32_t) { return false; }

}  // namespace vesk
