// Chip: what every chip model shares. A chip object turns host calls
// into command payloads for its board's link; the models, one header per
// family (opn.h, opl.h, opm.h, psg.h, ym2610h.h), add the register
// encoding, the waits and the silence table.
#ifndef VESK_CHIPS_CHIP_H
#define VESK_CHIPS_CHIP_H

#include <vesk/vesk.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "transport/protocol.h"

namespace vesk {

class BoardLink;

// Clock range a variable-clock slot accepts, Hz, inclusive.
constexpr std::uint32_t kMinClock = 500000;
constexpr std::uint32_t kMaxClock = 150000000;

// W(k): the wait for k cycles of clock in whole microseconds, a fraction
// counted up unless it is at most 0.01, as the board firmware expects it:
// (k * 1e6) / clock + 0.99, every step in single precision, truncated, low
// 8 bits kept. Clock 0 gives 0.
std::uint8_t cycleWait(std::uint32_t cycles, std::uint32_t clock);

// One line of a silence table: registers first..last (Each), or the three
// registers r, r+1, r+2 of every r = first, first+4, ..., last (Groups, the
// per-channel layout of the OPN family), all written with value.
struct RegisterRun {
    enum Kind : std::uint8_t { Each, Groups };
    std::uint16_t first;
    std::uint16_t last;
    std::uint8_t value;
    Kind kind;
};
namespace regs {
constexpr RegisterRun one(std::uint16_t reg, std::uint8_t value) { return {reg, reg, value, RegisterRun::Each}; }
constexpr RegisterRun run(std::uint16_t first, std::uint16_t last, std::uint8_t value) {
    return {first, last, value, RegisterRun::Each};
}
constexpr RegisterRun groups(std::uint16_t first, std::uint16_t last, std::uint8_t value) {
    return {first, last, value, RegisterRun::Groups};
}
}  // namespace regs

class Chip : public VeskChip {
public:
    // The most a request's reply may hold.
    static constexpr std::uint32_t kReplyCapacity = 256;

    // The shared construction: copies what it needs from the record (which
    // must outlive the chip: setClock writes the clock back into it), sends
    // the clock command when the slot's clock is variable and the record's
    // clock is in range, then resets the slot (the reply is not examined).
    // The model's waits and silence table are the builder's next steps.
    Chip(BoardLink* link, VeskChipInfo* info);
    ~Chip() override;

    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    // The host's entry points. Each runs the model's work (the do... below)
    // and never lets an exception out to the host: a call that throws (an
    // allocation, a thread that cannot start) returns false, or 0 for read.
    bool write(std::uint32_t reg, std::uint32_t data) final;
    bool writeData(std::uint32_t port, std::uint32_t data) final;
    std::uint32_t read(std::uint32_t reg) final;
    bool setClock(std::uint32_t clock, std::uint8_t flag) final;
    bool reset() final;
    bool resetSlot() final;
    bool uploadSampleMemory(const SampleBlock* block) final;
    const char* getName() final { return name_; }
    std::uint32_t getClock() final { return info_->clock; }
    const char* getAddress(int selector) final { return selector == 0 ? address_ : nullptr; }
    std::uint32_t getSlot() final { return slot_; }

    // Recomputes the model's wait bytes for clock. Nothing in the base.
    virtual void updateWaits(std::uint32_t clock);
    // Sends the model's silence table. Nothing in the base.
    virtual void silence();

    // The slot record the chip was made from.
    const VeskChipInfo& record() const { return *info_; }
    bool hasVariableClock() const { return variableClock_ != 0; }
    // Taken by a host: the manager's only record of it. Hand-out runs on
    // one thread at a time; the tray only reads it.
    bool inUse() const { return inUse_ != 0; }
    void setInUse(bool taken) { inUse_ = taken ? 1 : 0; }
    // Whether a register write went out since the last call; clears it.
    // Any thread (the tray's board dialog polls it while the host writes).
    std::uint8_t takeActivity() { return activity_.exchange(0); }

protected:
    // The models' register and port writes and reads.
    virtual bool doWrite(std::uint32_t reg, std::uint32_t data) = 0;
    virtual bool doWriteData(std::uint32_t port, std::uint32_t data) = 0;
    virtual std::uint32_t doRead(std::uint32_t reg) = 0;
    // Sends the clock command (variable-clock slots, clock in range) and
    // recomputes the waits; otherwise sends nothing and answers whether
    // clock is the current clock.
    virtual bool doSetClock(std::uint32_t clock, std::uint8_t flag);
    // Sample memory upload; nothing to do (true) but for YM2610+H.
    virtual bool doUploadSampleMemory(const SampleBlock*) { return true; }
    // Hardware reset when the slot can do one (its result), then the
    // silence table in any case.
    bool doReset();

    // The slot in the high nibble of a command's target byte.
    std::uint8_t slotNibble() const { return slotNibble_; }
    // A register write went out (what takeActivity reports).
    void markActivity() { activity_.store(1, std::memory_order_relaxed); }
    // Hands an assembled payload to the transport.
    void pushPayload(const std::uint8_t* bytes, std::uint32_t length);
    // kCmdWriteReg with target slotNibble | port, pushed; sets activity.
    void pushRegister(std::uint8_t port, std::uint32_t reg, std::uint32_t data, std::uint8_t wait1, std::uint8_t wait2);
    // kCmdWritePort, pushed. Does not set activity.
    void pushPort(std::uint32_t port, std::uint32_t data, std::uint8_t wait);
    // kCmdReadReg, requested; the register value (the reply's last byte)
    // or 0 when no reply came.
    std::uint32_t requestRegister(std::uint8_t port, std::uint32_t reg, std::uint8_t wait);
    // Sample-write flow control (YM2608, Y8950), run after each pushed
    // write: a write of bit 6 to the control register starts a stream of
    // sample-memory writes (keep-alives held back, everything queued so far
    // answered first); clearing it ends the stream (waiting up to 2 s longer
    // for the board to drain it). While the stream runs, the host waits for
    // the board every half buffer.
    void sampleWriteFlow(bool controlRegister, std::uint32_t data);
    bool sampleStreamRunning() const { return sampleStream_.mode != 0; }
    // kCmdSync: returns once the board has answered everything queued before
    // it (or the request timed out).
    void syncWithBoard(std::uint32_t extraSeconds);
    // The silence loop: writes every register of the table through write()
    // (or writeData() with the register as the port when throughPort), and
    // syncs each time more than half the board's buffer went out since the
    // last sync. payloadLength is what one such write queues.
    void sendSilenceTable(const RegisterRun* runs, std::size_t count, std::uint32_t payloadLength,
                          bool throughPort = false);
    template <std::size_t N>
    void sendSilenceTable(const RegisterRun (&runs)[N], std::uint32_t payloadLength, bool throughPort = false) {
        sendSilenceTable(runs, N, payloadLength, throughPort);
    }

private:
    friend struct ChipTestAccess;

    // A stream of sample-memory writes: see sampleWriteFlow.
    struct SampleStream {
        std::uint8_t mode = 0;    // 1 while the stream runs
        std::uint32_t count = 0;  // bytes queued since the last wait for the board
    };

    bool requestSlotReset();

    BoardLink* link_;     // not owned
    VeskChipInfo* info_;  // not owned
    std::uint8_t hardwareResetCapable_;
    std::uint8_t variableClock_;
    std::uint32_t slot_;
    std::uint8_t slotNibble_;
    std::uint8_t inUse_ = 0;
    char name_[17] = {};
    char address_[66] = {};
    std::uint8_t command_[proto::kMaxCommandSize] = {};
    std::uint8_t reply_[kReplyCapacity] = {};
    std::uint32_t flushThreshold_;  // half the board's buffer, bytes
    SampleStream sampleStream_;
    std::atomic<std::uint8_t> activity_{0};
};

// A model the library does not know: it takes the slot and drops every
// write, so that chip positions keep matching the records.
class ChipUnknown final : public Chip {
public:
    using Chip::Chip;

private:
    bool doWrite(std::uint32_t, std::uint32_t) override { return true; }
    bool doWriteData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t doRead(std::uint32_t) override { return 0; }
};

// Port code of the two-bank models: 1 selects registers 0x000-0x0FF, 2
// registers 0x100-0x1FF. Only bit 8 of the address is looked at.
constexpr std::uint8_t bankPort(std::uint32_t reg) { return (reg & 0x100) ? 2 : 1; }

}  // namespace vesk

#endif  // VESK_CHIPS_CHIP_H
