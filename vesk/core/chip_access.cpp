// Handing chips to hosts, resets, and the board's I2C bus and attenuator.
#include "core/chip_access.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "chips/chip.h"
#include "transport/protocol.h"
#include "transport/board_link.h"

namespace vesk {

namespace {

Chip* imp(VeskChip* chip) { return static_cast<Chip*>(chip); }

VeskChip* take(Chip* chip) {
    chip->setInUse(true);
    return chip;
}

// The attenuator's level bytes: channel in bits 6-7, level in bits 0-5; a
// write starts with 0x87.
constexpr std::uint8_t kAttenuatorWrite = 0x87;
constexpr std::uint8_t kChannelMask = 0xC0;
constexpr std::uint8_t kChannel1 = 0x40;
constexpr std::uint8_t kLevelMask = 0x3F;

}  // namespace

// ---------------------------------------------------------------- chip access

VeskChip* ChipAccess::getChipByIndex(std::uint32_t index, std::uint32_t clock) {
    if (index >= chips.size() || !chips[index]) return nullptr;
    Chip* chip = imp(chips[index]);
    if (chip->inUse()) return nullptr;
    if (chip->hasVariableClock()) {
        chip->setClock(clock, 0);
        return take(chip);
    }
    return chip->getClock() == clock ? take(chip) : nullptr;
}

VeskChip* ChipAccess::getChipBySlot(const char* boardAddress, std::uint32_t slot, std::uint32_t clock) {
    if (!boardAddress) return nullptr;
    for (VeskChip* c : chips) {
        Chip* chip = imp(c);
        if (!chip || chip->inUse()) continue;
        if (std::strcmp(chip->getAddress(0), boardAddress) != 0 || chip->getSlot() != slot) continue;
        if (chip->hasVariableClock()) {
            chip->setClock(clock, 0);
            return take(chip);
        }
        if (chip->getClock() == clock) return take(chip);
    }
    return nullptr;
}

VeskChip* ChipAccess::getChip(const char* name, std::uint32_t clock) {
    if (!name) return nullptr;
    for (VeskChip* c : chips) {
        Chip* chip = imp(c);
        if (!chip || chip->inUse()) continue;
        if (std::strcmp(chip->getName(), name) != 0) continue;
        // An equal clock first: a variable-clock chip already there gets no
        // clock command.
        if (chip->getClock() == clock) return take(chip);
        if (chip->hasVariableClock()) {
            chip->setClock(clock, 0);
            return take(chip);
        }
    }
    return nullptr;
}

bool ChipAccess::releaseChip(VeskChip* chip) {
    if (!chip) return false;
    auto it = std::find(chips.begin(), chips.end(), chip);
    if (it == chips.end()) return false;
    imp(chip)->setInUse(false);
    return true;
}

void ChipAccess::releaseAllChips() {
    for (VeskChip* chip : chips)
        if (chip) imp(chip)->setInUse(false);
}

bool ChipAccess::resetBoards() {
    bool result = true;
    std::uint8_t cmd[proto::commandSize(proto::kCmdReset)];
    proto::encodeReset(cmd, 0xFF);  // all slots
    for (BoardLink* t : transports) {
        std::uint8_t reply[proto::kSmallReplySize] = {};
        std::uint32_t n = t->request(cmd, sizeof cmd, reply, sizeof reply, 0);
        result = proto::isResetAck(reply, n) && result;
    }
    return result;
}

bool ChipAccess::resetChips() {
    bool result = true;
    for (VeskChip* chip : chips)
        if (chip) result = chip->reset() && result;
    return result;
}

// ---------------------------------------------------------------- I2C

BoardLink* ChipAccess::transportOf(const char* boardAddress) const {
    if (!boardAddress) return nullptr;
    std::string_view wanted(boardAddress);
    for (BoardLink* t : transports) {
        if (wanted == t->address()) return t;
    }
    return nullptr;
}

bool ChipAccess::i2cProbe(const char* boardAddress, std::uint8_t i2cAddress) {
    if (!boardAddress) return false;
    {
        std::lock_guard<std::mutex> lock(probeCache.mutex);
        auto board = probeCache.entries.find(boardAddress);
        if (board != probeCache.entries.end()) {
            auto known = board->second.find(i2cAddress);
            if (known != board->second.end()) return known->second;
        }
    }
    BoardLink* t = transportOf(boardAddress);
    if (!t) return false;
    std::uint8_t cmd[proto::commandInfo(proto::kCmdQuery).maxSize];
    proto::encodeQueryArg(cmd, 0x00, proto::kBoardItemI2cProbe, i2cAddress);
    std::uint8_t reply[proto::kSmallReplySize] = {};
    std::uint32_t n = t->request(cmd, sizeof cmd, reply, sizeof reply, 0);
    // The answer is the reply's last byte, at the index of its count byte;
    // a reply that does not reach it is no answer (and is not cached).
    std::uint8_t present = 0;
    if (!proto::readLastByte(reply, n, present)) return false;
    std::lock_guard<std::mutex> lock(probeCache.mutex);
    probeCache.entries[boardAddress][i2cAddress] = present != 0;
    return present != 0;
}

bool ChipAccess::i2cWrite(const char* boardAddress, std::uint8_t i2cAddress, const std::uint8_t* data,
                          std::uint8_t length) {
    if (!i2cProbe(boardAddress, i2cAddress) || !data) return false;
    BoardLink* t = transportOf(boardAddress);
    if (!t || length == 0) return false;
    std::uint8_t cmd[proto::kMaxCommandSize];
    std::uint8_t sync[proto::commandSize(proto::kCmdSync)];
    proto::encodeSync(sync);
    for (std::uint32_t sent = 0; sent < length;) {
        std::uint32_t n = std::min<std::uint32_t>(length - sent, proto::kI2cWriteMaxData);
        t->push(cmd, proto::encodeI2cWrite(cmd, i2cAddress, data + sent, n));
        std::uint8_t reply[proto::kSmallReplySize];
        if (!proto::isSyncReply(reply, t->request(sync, sizeof sync, reply, sizeof reply, 0))) return false;
        sent += n;
    }
    return true;
}

std::uint32_t ChipAccess::i2cRead(const char* boardAddress, std::uint8_t i2cAddress, std::uint8_t* out,
                                  std::uint8_t outCapacity, std::uint8_t readLength, const std::uint8_t* writeData,
                                  std::uint8_t writeLength) {
    if (!i2cProbe(boardAddress, i2cAddress)) return 0;
    BoardLink* t = transportOf(boardAddress);
    if (!t) return 0;
    // The reply's count byte must hold the read count + 1.
    std::uint32_t r = std::min(readLength, outCapacity);
    std::uint8_t cmd[proto::kMaxCommandSize];
    std::uint32_t length = proto::encodeI2cRead(cmd, i2cAddress, r, writeData, writeLength);
    std::uint8_t reply[proto::kI2cReplySize] = {};
    std::uint32_t got = t->request(cmd, length, reply, sizeof reply, 0);
    if (got == 0 || !out || outCapacity == 0) return 0;
    // Reply: L, code, then L - 1 data bytes. More than fit, or fewer than
    // the count byte claims: no answer, and nothing of it is left in out.
    std::uint32_t count = proto::readI2cData(reply, got, out, outCapacity);
    if (count == 0 && reply[0] >= 2) std::memset(out, 0, outCapacity);
    return count;
}

bool ChipAccess::setOutputVolume(const char* boardAddress, std::uint32_t value, std::uint32_t channel,
                                 std::uint32_t inhibit) {
    const std::uint8_t level = static_cast<std::uint8_t>(value & kLevelMask);
    std::uint8_t bytes[3] = {kAttenuatorWrite, level, static_cast<std::uint8_t>(level | kChannel1)};
    std::uint8_t length = 3;
    if (channel == 0) {
        length = 2;
    } else if (channel == 1) {
        bytes[1] = static_cast<std::uint8_t>(level | kChannel1);
        length = 2;
    }
    if (inhibit) return false;
    return i2cWrite(boardAddress, kAttenuatorAddress, bytes, length);
}

bool ChipAccess::getOutputVolume(const char* boardAddress, std::uint32_t* out, std::uint32_t channel,
                                 std::uint32_t inhibit) {
    if (inhibit || !out) return false;
    std::uint8_t levels[16] = {};
    std::uint32_t n = i2cRead(boardAddress, kAttenuatorAddress, levels, sizeof levels, 3, nullptr, 0);
    const std::uint8_t wanted = channel == 0 ? 0x00 : channel == 1 ? kChannel1 : 0xFF;
    for (std::uint32_t i = 0; i < n; ++i) {
        if ((levels[i] & kChannelMask) == wanted) {
            *out = levels[i] & kLevelMask;
            return true;
        }
    }
    return false;
}

}  // namespace vesk
