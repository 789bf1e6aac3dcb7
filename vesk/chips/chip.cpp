#include "chips/chip.h"

#include <cstring>

#include "platform/guarded.h"
#include "transport/protocol.h"
#include "transport/board_transport.h"

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

Chip::Chip(BoardTransport* socket_, VeskChipInfo* info_) : socket(socket_), info(info_) {
    hardwareResetCapable = info->hardwareReset;
    variableClock = info->variableClock;
    slot = info->slot;
    slotNibble = static_cast<std::uint8_t>(slot << 4);
    std::memcpy(name, info->name, sizeof info->name);
    std::memcpy(address, info->address, sizeof info->address);
    flushThreshold = socket->getBufferSize() / 2;

    std::uint32_t clock = info->clock;
    if (variableClock && clock >= kMinClock && clock <= kMaxClock) {
        socket->push(command, proto::encodeSetClock(command, static_cast<std::uint8_t>(slot), clock));
    }
    // Every slot is reset once here, whatever its hardware-reset flag says.
    requestSlotReset();
}

Chip::~Chip() = default;

bool Chip::requestSlotReset() {
    std::memset(reply, 0, sizeof reply);
    // The mask has one bit per slot; slots 8 and up cannot be addressed.
    std::uint8_t mask = slot < 8 ? static_cast<std::uint8_t>(1u << slot) : 0;
    std::uint8_t cmd[proto::kResetSize];
    std::uint32_t n = socket->request(cmd, proto::encodeReset(cmd, mask), reply, sizeof reply, 0);
    return proto::isResetAck(reply, n);
}

bool Chip::write(std::uint32_t reg, std::uint32_t data) {
    return guarded(false, [&] { return doWrite(reg, data); });
}
bool Chip::writeData(std::uint32_t port, std::uint32_t data) {
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
    if (!variableClock || clock < kMinClock || clock > kMaxClock) return clock == info->clock;
    socket->push(command, proto::encodeSetClock(command, static_cast<std::uint8_t>(slot | (flag ? 0x80 : 0)), clock));
    updateWaits(clock);
    info->clock = clock;
    return true;
}

bool Chip::doReset() {
    bool result = hardwareResetCapable ? requestSlotReset() : true;
    silence();
    return result;
}

void Chip::updateWaits(std::uint32_t) {}
void Chip::silence() {}

void Chip::pushPayload(const std::uint8_t* bytes, std::uint32_t length) { socket->push(bytes, length); }

void Chip::pushRegister(std::uint8_t port, std::uint32_t reg, std::uint32_t data, std::uint8_t wait1,
                        std::uint8_t wait2) {
    socket->push(command,
                 proto::encodeWriteReg(command, static_cast<std::uint8_t>(slotNibble | port),
                                       static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(data), wait1, wait2));
    activity.store(1, std::memory_order_relaxed);
}

void Chip::pushPort(std::uint32_t port, std::uint32_t data, std::uint8_t wait) {
    socket->push(command, proto::encodeWritePort(command, static_cast<std::uint8_t>(slotNibble | (port & 0x0F)),
                                                 static_cast<std::uint8_t>(data), wait));
}

std::uint32_t Chip::requestRegister(std::uint8_t port, std::uint32_t reg, std::uint8_t wait) {
    std::uint8_t c[proto::kReadRegSize];
    proto::encodeReadReg(c, static_cast<std::uint8_t>(slotNibble | port), static_cast<std::uint8_t>(reg), wait);
    // The value is the reply's last byte, at the index its count byte gives;
    // a reply cut short of it reads as 0.
    std::uint8_t value = 0;
    proto::readLastByte(reply, socket->request(c, sizeof c, reply, sizeof reply, 0), value);
    return value;
}

void Chip::syncWithBoard(std::uint32_t extraSeconds) {
    std::uint8_t cmd[proto::kSyncSize];
    std::uint8_t answer[proto::kSmallReplySize];
    socket->request(cmd, proto::encodeSync(cmd), answer, sizeof answer, extraSeconds);
}

void Chip::sampleWriteFlow(std::uint8_t& mode, std::uint32_t& count, bool controlRegister, std::uint32_t data) {
    if (controlRegister && (data & 0x40)) {
        socket->keepAliveEnabled.store(false);
        syncWithBoard(0);
        mode = 1;
        count = 0;
    } else if (controlRegister) {
        if (mode) syncWithBoard(2);
        mode = 0;
        socket->keepAliveEnabled.store(true);
    } else if (mode) {
        count += proto::kWriteRegSize;
        if (count > flushThreshold) {
            syncWithBoard(2);
            count = 0;
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
        if (queued > flushThreshold) {
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
