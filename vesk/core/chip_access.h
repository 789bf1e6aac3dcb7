// Handing chips to hosts, resets, and the boards' I2C bus and attenuator,
// over the manager's tables. Manager forwards its operations here;
// the tests drive it with tables of their own.
#ifndef VESK_CORE_CHIP_ACCESS_H
#define VESK_CORE_CHIP_ACCESS_H

#include <vesk/vesk.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vesk {

class BoardLink;

// Board address text -> I2C address -> a device answered there. Only grows.
// The host and the tray's volume dialog probe at the same time: entries are
// read and written under mutex (never held during an exchange).
struct I2cProbeCache {
    std::mutex mutex;
    std::unordered_map<std::string, std::unordered_map<std::uint8_t, bool>> entries;
};

// Chip hand-out takes no lock: the host calls it from one thread at a time.
// The I2C operations may also come from the tray's threads: the transport
// serialises their exchanges and the probe cache has its own lock. Board
// addresses are matched byte for byte against the transports' addresses,
// the first transport in board order winning; a null text matches nothing.
struct ChipAccess {
    std::vector<VeskChip*>& chips;  // every entry a Chip (or null after teardown)
    const std::vector<BoardLink*>& transports;
    I2cProbeCache& probeCache;

    // Taking a chip marks it in use; a variable-clock chip is handed out even
    // when it refuses the clock. getChipByIndex and getChipBySlot always
    // send it the clock; getChip only when its clock differs.
    VeskChip* getChipByIndex(std::uint32_t index, std::uint32_t clock);
    VeskChip* getChipBySlot(const char* boardAddress, std::uint32_t slot, std::uint32_t clock);
    VeskChip* getChip(const char* name, std::uint32_t clock);
    // Nothing is sent to the board.
    bool releaseChip(VeskChip* chip);
    void releaseAllChips();

    // Every board (chip) is tried even after one failed.
    bool resetBoards();
    bool resetChips();

    // The first probe of an address asks the board; its answer is kept.
    bool i2cProbe(const char* boardAddress, std::uint8_t i2cAddress);
    // In chunks of at most 253 bytes, each followed by a sync: the board's
    // answer says it has written the chunk. False, with the rest unsent, at
    // the first sync left unanswered (success claimed then would leave a
    // volume change or a display update the host believes made undone).
    bool i2cWrite(const char* boardAddress, std::uint8_t i2cAddress, const std::uint8_t* data, std::uint8_t length);
    // Bytes stored in out, 0 on any failure. Never stores past outCapacity:
    // a reply with more bytes than that (or fewer than its count byte
    // claims) leaves out cleared and gives 0.
    std::uint32_t i2cRead(const char* boardAddress, std::uint8_t i2cAddress, std::uint8_t* out,
                          std::uint8_t outCapacity, std::uint8_t readLength, const std::uint8_t* writeData,
                          std::uint8_t writeLength);
    // The attenuator at 0x28: channel 0, 1, or any other value for both.
    bool setOutputVolume(const char* boardAddress, std::uint32_t value, std::uint32_t channel, std::uint32_t inhibit);
    bool getOutputVolume(const char* boardAddress, std::uint32_t* out, std::uint32_t channel, std::uint32_t inhibit);

    BoardLink* transportOf(const char* boardAddress) const;
};

// I2C address of the output attenuator on every board.
constexpr std::uint8_t kAttenuatorAddress = 0x28;

}  // namespace vesk

#endif  // VESK_CORE_CHIP_ACCESS_H
