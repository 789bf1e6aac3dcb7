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

// Register writes are kCmdWriteReg by the bank rule (chip.h bankPort):
// the address write, W(17), the data write, W(83); with the sample link
// open, the ADPCM-A key (0x100) W(576) and the ADPCM-B control (0x010)
// W(83) + 2 us. Without it those two registers are never written. Reads
// (wait W(17)) by port code: 1 the SSG 0x00-0x0F, 0 the rest of bank 0, 2
// bank 1. No data port: writeData sends nothing. Silence: the table in
// ym2610h.cpp (keys off and levels down first, then every register).
class ChipYM2610H final : public Chip {
public:
    static constexpr std::uint32_t kBankSize = 0x1000000;  // 16 MiB per sample memory

    using Chip::Chip;
    // Waits for both upload threads, then closes the link.
    ~ChipYM2610H() override;

    void updateWaits(std::uint32_t clock) override;
    void silence() override;

    // The last set-up steps, after the waits and the silence table: the
    // staging buffers, then the USB link (its outcome is only recorded:
    // without it the ADPCM keys are dropped). Throws std::bad_alloc when the
    // buffers cannot be had.
    void finishSetUp();

private:
    friend struct ChipTestAccess;

    // Takes writeLock_ around the push, so it waits for a running transfer.
    bool doWrite(std::uint32_t reg, std::uint32_t data) override;
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t reg) override;
    // Stages the block and starts its transfer in the background; returns
    // once staged. A previous upload to the same bank is waited for first.
    // False (and nothing changes) for a bank above 1, no data, a size of 0
    // or above 16 MiB, or an offset at or above 16 MiB.
    bool doUploadSampleMemory(const SampleBlock* block) override;
    // Body of an upload thread.
    void transfer(std::uint32_t bank, std::uint32_t offset);

    std::uint8_t w17_ = 0, w83_ = 0, w83p2_ = 0, w576_ = 0;
    std::unique_ptr<std::uint8_t[]> bankBuffer_[2];
    std::uint32_t bankSize_[2] = {};
    std::mutex bankLock_[2];
    std::thread uploadThread_[2];
    std::mutex writeLock_;       // before bankLock_ when both are held
    D2xxLink usb_;               // the sample memories' USB link
    std::uint8_t linkOpen_ = 0;  // decided once, in finishSetUp
    // Transfers that ended early because the board's ready line stayed low
    // (or could not be read).
    std::atomic<std::uint32_t> failedTransfers_{0};
};

}  // namespace vesk

#endif  // VESK_CHIPS_YM2610H_H
