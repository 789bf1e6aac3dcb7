// YM2610 / YM2610B with sample memory ("YM2610+H", "YM2610B+H"): register
// writes over the network like every chip, sample memories loaded over the
// board's own USB link.
#ifndef VESK_CHIPS_YM2610H_H
#define VESK_CHIPS_YM2610H_H

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "chips/chip.h"
#include "chips/ftdi_link.h"

namespace vesk {

class ChipYM2610H final : public Chip {
public:
    static constexpr std::uint32_t kBankSize = 0x1000000;  // 16 MiB per sample memory

    using Chip::Chip;
    // Waits for both upload threads, then closes the link.
    ~ChipYM2610H() override;

    // Takes writeLock around the push, so it waits for a running transfer.
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;
    // Stages the block and starts its transfer in the background; returns
    // once staged. A previous upload to the same bank is waited for first.
    // False (and nothing changes) for a bank above 1, no data, a size of 0
    // or above 16 MiB, or an offset at or above 16 MiB.
    bool doUploadSampleMemory(const SampleBlock* block) override;
    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    // The last set-up steps, after the waits and the silence table: the
    // staging buffers, then the USB link (its outcome is only recorded in
    // linkOpen). Throws std::bad_alloc when the buffers cannot be had.
    void finishSetUp();

    std::uint8_t w17 = 0, w83 = 0, w83p2 = 0, w576 = 0;
    std::unique_ptr<std::uint8_t[]> bankBuffer[2];
    std::uint32_t bankSize[2] = {};
    std::mutex bankLock[2];
    std::thread uploadThread[2];
    std::mutex writeLock;  // before bankLock when both are held
    D2xxLink link;
    std::uint8_t linkOpen = 0;  // decided once, in finishSetUp
    // Transfers that ended early because the board's ready line stayed low
    // (or could not be read).
    std::atomic<std::uint32_t> failedTransfers{0};

private:
    // Body of an upload thread.
    void transfer(std::uint32_t bank, std::uint32_t offset);
};

}  // namespace vesk

#endif  // VESK_CHIPS_YM2610H_H
