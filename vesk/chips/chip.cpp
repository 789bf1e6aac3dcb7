#include "chips/chip.h"

#include <cstring>

#include "platform/guarded.h"
#include "transport/board_link.h"
#include "transport/protocol.h"
#include "transport/write_time.h"

namespace vesk {

std::uint8_t cycleWait(std::uint32_t cycles, std::uint32_t clock) {
    if (clock == 0) return 0;
    // Every intermediate goes through a float variable: the 32-bit x87 build
    // would otherwise keep extended precision, and the board's timing tables
    // were made with single-precision results (they differ from exact or
    // double arithmetic for some clocks, e.g. W(12) at 2992519 Hz is 5).
    volatile float numerator = static_cast<float>(cycles) * 1000000.0f;
    volatile float divisor = static_cast<float>(clock);
    volatile float quotient = numerator / divisor;
    volatile float rounded = quotient + 0.99f;
    return static_cast<std::uint8_t>(static_cast<std::int64_t>(rounded) & 0xFF);
}

Chip::Chip(BoardLink* link, VeskChipInfo* info)
    : link_(link),
      info_(info),
      hardwareResetCapable_(info->hardwareReset),
      variableClock_(info->variableClock),
      slot_(info->slot),
      slotNibble_(static_cast<std::uint8_t>(info->slot << 4)),
      flushThreshold_(link->getBufferSize() / 2) {
    std::memcpy(name_, info->name, sizeof info->name);
    std::memcpy(address_, info->address, sizeof info->address);

    std::uint32_t clock = info->clock;
    if (variableClock_ && clock >= kMinClock && clock <= kMaxClock) {
        link_->push(command_, proto::encodeSetClock(command_, static_cast<std::uint8_t>(slot_), clock));
    }
    // Every slot is reset once here, whatever its hardware-reset flag says.
    requestSlotReset();
}

Chip::~Chip() = default;

bool Chip::requestSlotReset() {
    std::memset(reply_, 0, sizeof reply_);
    // The mask has one bit per slot; slots 8 and up cannot be addressed.
    std::uint8_t mask = slot_ < 8 ? static_cast<std::uint8_t>(1u << slot_) : 0;
    std::uint8_t cmd[proto::commandSize(proto::kCmdReset)];
    std::uint32_t n = link_->request(cmd, proto::encodeReset(cmd, mask), reply_, sizeof reply_, 0);
    return proto::isResetAck(reply_, n);
}

// The host's writes take the time its thread set for them, if any
// (transport/write_time.h); the requests a write may make do not.
bool Chip::write(std::uint32_t reg, std::uint32_t data) {
    writetime::HostWrite timed;
    return guarded(false, [&] { return doWrite(reg, data); });
}
bool Chip::writeData(std::uint32_t port, std::uint32_t data) {
    writetime::HostWrite timed;
    return guarded(false, [&] { return doWriteData(port, data); });
}
std::uint32_t Chip::read(std::uint32_t reg) {
    return guarded(std::uint32_t{0}, [&] { return doRead(reg); });
}
bool Chip::setClock(std::uint32_t clock, std::uint8_t flag) {
    return guarded(false, [&] { return doSetClock(clock, flag); });
}
bool Chip::reset() {
    return guarded(false, [&] { return doReset(); });
}
bool Chip::resetSlot() {
    return guarded(false, [&] { return requestSlotReset(); });
}
bool Chip::uploadSampleMemory(const SampleBlock* block) {
    return guarded(false, [&] { return doUploadSampleMemory(block); });
}

bool Chip::doSetClock(std::uint32_t clock, std::uint8_t flag) {
    if (!variableClock_ || clock < kMinClock || clock > kMaxClock) return clock == info_->clock;
    link_->push(command_, proto::encodeSetClock(command_, static_cast<std::uint8_t>(slot_ | (flag ? 0x80 : 0)), clock));
    updateWaits(clock);
    info_->clock = clock;
    return true;
}

bool Chip::doReset() {
    bool result = hardwareResetCapable_ ? requestSlotReset() : true;
    silence();
    return result;
}

void Chip::updateWaits(std::uint32_t) {}
void Chip::silence() {}

void Chip::pushPayload(const std::uint8_t* bytes, std::uint32_t length) { link_->push(bytes, length); }

void Chip::pushRegister(std::uint8_t port, std::uint32_t reg, std::uint32_t data, std::uint8_t wait1,
                        std::uint8_t wait2) {
    link_->push(command_,
                proto::encodeWriteReg(command_, static_cast<std::uint8_t>(slotNibble_ | port),
                                      static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(data), wait1, wait2));
    markActivity();
}

void Chip::pushPort(std::uint32_t port, std::uint32_t data, std::uint8_t wait) {
    link_->push(command_, proto::encodeWritePort(command_, static_cast<std::uint8_t>(slotNibble_ | (port & 0x0F)),
                                                 static_cast<std::uint8_t>(data), wait));
}

std::uint32_t Chip::requestRegister(std::uint8_t port, std::uint32_t reg, std::uint8_t wait) {
    std::uint8_t c[proto::commandSize(proto::kCmdReadReg)];
    proto::encodeReadReg(c, static_cast<std::uint8_t>(slotNibble_ | port), static_cast<std::uint8_t>(reg), wait);
    // The value is the reply's last byte, at the index its count byte gives;
    // a reply cut short of it reads as 0.
    std::uint8_t value = 0;
    proto::readLastByte(reply_, link_->request(c, sizeof c, reply_, sizeof reply_, 0), value);
    return value;
}

void Chip::syncWithBoard(std::uint32_t extraSeconds) {
    std::uint8_t cmd[proto::commandSize(proto::kCmdSync)];
    std::uint8_t answer[proto::kSmallReplySize];
    link_->request(cmd, proto::encodeSync(cmd), answer, sizeof answer, extraSeconds);
}

void Chip::sampleWriteFlow(bool controlRegister, std::uint32_t data) {
    SampleStream& stream = sampleStream_;
    if (controlRegister && (data & 0x40)) {
        link_->holdKeepAlives(true);
        syncWithBoard(0);
        stream.mode = 1;
        stream.count = 0;
    } else if (controlRegister) {
        if (stream.mode) syncWithBoard(2);
        stream.mode = 0;
        link_->holdKeepAlives(false);
    } else if (stream.mode) {
        stream.count += proto::commandSize(proto::kCmdWriteReg);
        if (stream.count > flushThreshold_) {
            syncWithBoard(2);
            stream.count = 0;
        }
    }
}

void Chip::sendSilenceTable(const RegisterRun* runs, std::size_t count, std::uint32_t payloadLength, bool throughPort) {
    std::uint32_t queued = 0;
    auto emit = [&](std::uint32_t reg, std::uint8_t value) {
        if (throughPort)
            writeData(reg, value);
        else
            write(reg, value);
        queued += payloadLength;
        // Keep no more than about half the board's buffer in flight.
        if (queued > flushThreshold_) {
            syncWithBoard(0);
            queued = 0;
        }
    };
    for (std::size_t i = 0; i < count; ++i) {
        const RegisterRun& r = runs[i];
        if (r.kind == RegisterRun::Each) {
            for (std::uint32_t reg = r.first; reg <= r.last; ++reg) emit(reg, r.value);
        } else {
            for (std::uint32_t base = r.first; base <= r.last; base += 4)
                for (std::uint32_t ch = 0; ch < 3; ++ch) emit(base + ch, r.value);
        }
    }
}

}  // namespace vesk
