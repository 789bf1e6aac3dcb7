#include "chips/ym2610h.h"

#include <cstring>

#include "transport/protocol.h"

namespace vesk {

using regs::groups;
using regs::one;
using regs::run;

namespace {

// YM2610 / YM2610B. Bank 0: SSG 0x00-0x0F, ADPCM-B 0x10-0x1C, common FM
// 0x22-0x28, FM channels at 0x30-0xB6. Bank 1: ADPCM-A 0x100-0x12D, FM
// channels at 0x130-0x1B6.
//   0x028 keys off channel codes 0-2 and 4-6; 0x008-0x00A SSG amplitudes;
//   0x010 <- 0x01 resets ADPCM-B; 0x01B ADPCM-B level; 0x100 <- 0 / 0x101
//   ADPCM-A key and total level; 0x108-0x10D ADPCM-A pan and levels; then
//   the SSG periods, envelope and mixer, ADPCM-B pan, addresses, delta-N
//   and flag control, LFO, timers, every FM register of both banks, and the
//   ADPCM-A start (0x110-0x11D) and end (0x120-0x12D) addresses.
constexpr RegisterRun kYM2610Silence[] = {
    one(0x028, 0x00),        one(0x028, 0x01),        one(0x028, 0x02),           one(0x028, 0x04),
    one(0x028, 0x05),        one(0x028, 0x06),        run(0x008, 0x00A, 0x00),    one(0x010, 0x01),
    one(0x01B, 0x00),        run(0x100, 0x101, 0x00), run(0x108, 0x10D, 0x00),    run(0x000, 0x007, 0x00),
    run(0x00B, 0x00F, 0x00), run(0x011, 0x015, 0x00), run(0x019, 0x01A, 0x00),    one(0x01C, 0x00),
    one(0x022, 0x00),        run(0x024, 0x027, 0x00), groups(0x030, 0x0B4, 0x00), groups(0x130, 0x1B4, 0x00),
    run(0x110, 0x115, 0x00), run(0x118, 0x11D, 0x00), run(0x120, 0x125, 0x00),    run(0x128, 0x12D, 0x00),
};

constexpr std::uint32_t kAdpcmBControl = 0x010;  // ADPCM-B start/stop
constexpr std::uint32_t kAdpcmAKey = 0x100;      // ADPCM-A key on / dump

// The converter's CBUS pins in bit-bang mode: the high nibble of the mask
// makes CBUS0, CBUS2 and CBUS3 outputs; its low bit is CBUS0's level, which
// tells the board a header (high) or sample data (low) follows.
constexpr std::uint8_t kCbusHeaderFollows = 0xD1;
constexpr std::uint8_t kCbusDataFollows = 0xD0;
constexpr std::uint8_t kCbusBitBang = 0x20;
constexpr auto kCbusSettle = std::chrono::milliseconds(8);

}  // namespace

ChipYM2610H::~ChipYM2610H() {
    for (auto& t : uploadThread_)
        if (t.joinable()) t.join();
    if (linkOpen_) usb_.close();
    linkOpen_ = 0;
}

bool ChipYM2610H::doWrite(std::uint32_t reg, std::uint32_t data) {
    std::uint8_t w2;
    if (linkOpen_) {
        // ADPCM-A keys need 576 cycles, ADPCM-B control 2 us more than FM.
        w2 = reg == kAdpcmAKey ? w576_ : reg == kAdpcmBControl ? w83p2_ : w83_;
    } else {
        // Nothing was loaded into the sample memories: never start ADPCM
        // on whatever they hold.
        if (reg == kAdpcmAKey || reg == kAdpcmBControl) return true;
        w2 = w83_;
    }
    std::lock_guard<std::mutex> lock(writeLock_);
    pushRegister(bankPort(reg), reg, data, w17_, w2);
    return true;
}

std::uint32_t ChipYM2610H::doRead(std::uint32_t reg) {
    std::uint8_t port = reg < 0x010 ? 1 : reg < 0x100 ? 0 : 2;
    return requestRegister(port, reg, w17_);
}

void ChipYM2610H::updateWaits(std::uint32_t clock) {
    w17_ = cycleWait(17, clock);
    w83_ = cycleWait(83, clock);
    w83p2_ = static_cast<std::uint8_t>(w83_ + 2);
    w576_ = cycleWait(576, clock);
}

void ChipYM2610H::silence() { sendSilenceTable(kYM2610Silence, proto::commandSize(proto::kCmdWriteReg)); }

void ChipYM2610H::finishSetUp() {
    // Not zeroed: untouched staging pages cost no memory until an upload.
    for (auto& buffer : bankBuffer_) buffer.reset(new std::uint8_t[kBankSize]);
    bankSize_[0] = bankSize_[1] = 0;
    linkOpen_ = 0;
    // extInfo holds the converter's serial number; it may fill its field.
    char serial[sizeof record().extInfo + 1] = {};
    std::memcpy(serial, record().extInfo, sizeof record().extInfo);
    linkOpen_ = usb_.open(serial) ? 1 : 0;
}

bool ChipYM2610H::doUploadSampleMemory(const SampleBlock* block) {
    if (!block || block->bank >= 2 || !block->data || block->size == 0 || block->size > kBankSize ||
        block->offset >= kBankSize)
        return false;
    const std::uint32_t bank = block->bank;
    if (!bankBuffer_[bank]) return false;  // set-up never finished
    if (uploadThread_[bank].joinable()) uploadThread_[bank].join();
    {
        std::lock_guard<std::mutex> lock(bankLock_[bank]);
        std::memcpy(bankBuffer_[bank].get(), block->data, block->size);
        bankSize_[bank] = block->size;
    }
    const std::uint32_t offset = block->offset;
    uploadThread_[bank] = std::thread([this, bank, offset] { transfer(bank, offset); });
    return true;
}

void ChipYM2610H::transfer(std::uint32_t bank, std::uint32_t offset) {
    if (!linkOpen_) return;
    std::lock_guard<std::mutex> hold(writeLock_);

    usb_.setBitMode(kCbusHeaderFollows, kCbusBitBang);
    std::this_thread::sleep_for(kCbusSettle);
    // Header: the bank alone for offset 0, else the bank and a 24-bit offset.
    const std::uint8_t header[4] = {static_cast<std::uint8_t>(bank), static_cast<std::uint8_t>(offset),
                                    static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset >> 16)};
    usb_.write(header, offset == 0 ? 1 : 4);
    if (!usb_.waitReady()) {
        ++failedTransfers_;
        return;
    }

    usb_.setBitMode(kCbusDataFollows, kCbusBitBang);
    std::this_thread::sleep_for(kCbusSettle);
    {
        std::lock_guard<std::mutex> staged(bankLock_[bank]);
        usb_.write(bankBuffer_[bank].get(), bankSize_[bank]);
    }
    if (!usb_.waitReady()) ++failedTransfers_;
}

}  // namespace vesk
