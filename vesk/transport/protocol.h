// The board protocol: command envelope and command codes.
//
// A command is L (bytes that follow), code, payload; a datagram is commands
// back to back with no header. Numbers are little-endian. Replies use the
// same envelope with the code of the command answered.
#ifndef VESK_TRANSPORT_PROTOCOL_H
#define VESK_TRANSPORT_PROTOCOL_H

#include <cstdint>

namespace vesk::proto {

// UDP port every board listens on (and the first host port).
constexpr std::uint16_t kBoardPort = 50003;

enum : std::uint8_t {
    CMD_WRITE_REG = 0x00,   // 06 00 T A D W1 W2
    CMD_WAIT = 0x01,        // 04 01 unit(1 ms, 0 us) value:u16
    CMD_WRITE_PORT = 0x02,  // 04 02 T D W
    CMD_READ_REG = 0x04,    // 04 04 T A W            -> value in the reply's last byte
    CMD_SET_CLOCK = 0x08,   // 06 08 S clock:u32
    CMD_I2C_READ = 0x20,    // n+3 20 addr count data[n]  -> L-1 data bytes from byte 2
    CMD_I2C_WRITE = 0x30,   // n+2 30 addr data[n]
    CMD_QUERY = 0x40,       // 03 40 target item [arg] -> L 40 target item value...
    CMD_SET = 0x50,         // 05 50 00 0A port:u16
    CMD_SYNC = 0x80,        // 01 80                   -> 03 80 57 50
    CMD_RESET = 0x90,       // 02 90 mask              -> 03 90 4F 4B
};

// CMD_WAIT units.
constexpr std::uint8_t kWaitUnitUs = 0;
constexpr std::uint8_t kWaitUnitMs = 1;

// CMD_SET board item holding the host port.
constexpr std::uint8_t kSetItemHostPort = 0x0A;

// CMD_QUERY items of the board (target 0).
constexpr std::uint8_t kBoardItemFirmware = 0x00;
constexpr std::uint8_t kBoardItemSlotCount = 0x01;
constexpr std::uint8_t kBoardItemWait = 0x04;
constexpr std::uint8_t kBoardItemBufferSize = 0x05;
constexpr std::uint8_t kBoardItemName = 0x06;
constexpr std::uint8_t kBoardItemIPv4 = 0x07;
constexpr std::uint8_t kBoardItemIdle = 0x0B;
constexpr std::uint8_t kBoardItemI2cProbe = 0x0C;

// CMD_QUERY items of a slot (target slot + 1).
constexpr std::uint8_t kSlotItemPresent = 0x00;
constexpr std::uint8_t kSlotItemVariableClock = 0x01;
constexpr std::uint8_t kSlotItemHardwareReset = 0x02;
constexpr std::uint8_t kSlotItemClock = 0x03;
constexpr std::uint8_t kSlotItemName = 0x04;
constexpr std::uint8_t kSlotItemExtInfo = 0x05;

// Fixed replies.
constexpr std::uint8_t kSyncReply[4] = {0x03, CMD_SYNC, 'W', 'P'};
constexpr std::uint8_t kResetReply[4] = {0x03, CMD_RESET, 'O', 'K'};

// Sizes.
constexpr unsigned kWaitCommandSize = 5;
constexpr unsigned kMaxCommandSize = 256;  // L is one byte

// Encoded sizes of the fixed-length commands.
constexpr unsigned kWriteRegSize = 7;
constexpr unsigned kWritePortSize = 5;
constexpr unsigned kReadRegSize = 5;
constexpr unsigned kSetClockSize = 7;
constexpr unsigned kQuerySize = 4;
constexpr unsigned kQueryArgSize = 5;
constexpr unsigned kSetHostPortSize = 6;
constexpr unsigned kSyncSize = 2;
constexpr unsigned kResetSize = 3;
constexpr unsigned kKeepAliveSize = 1;

// Limits of the variable-length commands (L is one byte).
constexpr unsigned kI2cReadMaxCount = 254;
constexpr unsigned kI2cReadMaxWrite = 252;
constexpr unsigned kI2cWriteMaxData = 253;

// Limits and sizes of the board's replies.
constexpr unsigned kReadRegReplySize = kReadRegSize;
constexpr unsigned kQueryReplyMaxValue = 252;  // L = 3 + value, one byte

// Reply buffer sizes the callers use.
constexpr unsigned kSmallReplySize = 16;
constexpr unsigned kQueryReplySize = 128;
constexpr unsigned kI2cReplySize = 256;

// ---------------------------------------------------------------- encoders
//
// Each encoder writes one complete command at out and returns its length in
// bytes. out must hold at least that many bytes (the k...Size above, or the
// stated maximum for the variable-length ones). Nothing is allocated.

// Byte n (0 = lowest) of a little-endian number.
constexpr std::uint8_t byteOf(std::uint32_t v, unsigned n) { return static_cast<std::uint8_t>(v >> (8 * n)); }

// The envelope every fixed-length command shares: L (the bytes after it),
// the code, then the fields, one byte each. Returns the command's size.
template <typename... Fields>
inline unsigned encodeCommand(std::uint8_t* out, std::uint8_t code, Fields... fields) {
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(sizeof...(Fields) + 1), code,
                                  static_cast<std::uint8_t>(fields)...};
    for (unsigned i = 0; i < sizeof bytes; ++i) out[i] = bytes[i];
    return sizeof bytes;
}

// 06 00 T A D W1 W2
inline unsigned encodeWriteReg(std::uint8_t* out, std::uint8_t target, std::uint8_t reg, std::uint8_t data,
                               std::uint8_t wait1, std::uint8_t wait2) {
    return encodeCommand(out, CMD_WRITE_REG, target, reg, data, wait1, wait2);
}

// 04 02 T D W
inline unsigned encodeWritePort(std::uint8_t* out, std::uint8_t target, std::uint8_t data, std::uint8_t wait) {
    return encodeCommand(out, CMD_WRITE_PORT, target, data, wait);
}

// 04 04 T A W
inline unsigned encodeReadReg(std::uint8_t* out, std::uint8_t target, std::uint8_t reg, std::uint8_t wait) {
    return encodeCommand(out, CMD_READ_REG, target, reg, wait);
}

// 06 08 S clock:u32. slotByte carries bit 7 when the caller asks for it.
inline unsigned encodeSetClock(std::uint8_t* out, std::uint8_t slotByte, std::uint32_t clockHz) {
    return encodeCommand(out, CMD_SET_CLOCK, slotByte, byteOf(clockHz, 0), byteOf(clockHz, 1), byteOf(clockHz, 2),
                         byteOf(clockHz, 3));
}

// 04 01 unit value:u16
inline unsigned encodeWait(std::uint8_t* out, std::uint8_t unit, std::uint16_t value) {
    return encodeCommand(out, CMD_WAIT, unit, byteOf(value, 0), byteOf(value, 1));
}
inline unsigned encodeWaitMs(std::uint8_t* out, std::uint16_t ms) { return encodeWait(out, kWaitUnitMs, ms); }
inline unsigned encodeWaitUs(std::uint8_t* out, std::uint16_t us) { return encodeWait(out, kWaitUnitUs, us); }

// A delay as wait commands: whole ms in one, the remaining us in another.
// Nothing for a delay of 10 us or less (the board's own command handling is
// of that order); delays past 0xFFFF ms are cut to it. Writes at most
// kDelayMaxSize bytes; *encodedUs is the delay the board will wait.
constexpr unsigned kDelayMaxSize = 2 * kWaitCommandSize;
inline unsigned encodeDelayUs(std::uint8_t* out, std::int64_t us, std::int64_t* encodedUs) {
    us = us < 0 ? 0 : (us > 0xFFFFll * 1000 + 999 ? 0xFFFFll * 1000 + 999 : us);
    const std::int64_t ms = us / 1000, rest = us % 1000;
    unsigned n = 0;
    if (ms > 0) {
        n += encodeWaitMs(out, static_cast<std::uint16_t>(ms));
        if (rest > 0) n += encodeWaitUs(out + n, static_cast<std::uint16_t>(rest));
        *encodedUs = us;
    } else if (rest > 10) {
        n += encodeWaitUs(out, static_cast<std::uint16_t>(rest));
        *encodedUs = rest;
    } else {
        *encodedUs = 0;
    }
    return n;
}

// (n+3) 20 addr count write[n]. count is clamped to kI2cReadMaxCount and n to
// kI2cReadMaxWrite; a null write pointer sends n zeros. out holds up to 256 bytes.
inline unsigned encodeI2cRead(std::uint8_t* out, std::uint8_t i2cAddress, std::uint32_t count,
                              const std::uint8_t* write, std::uint32_t writeLength) {
    std::uint32_t n = writeLength > kI2cReadMaxWrite ? kI2cReadMaxWrite : writeLength;
    out[0] = static_cast<std::uint8_t>(n + 3);
    out[1] = CMD_I2C_READ;
    out[2] = i2cAddress;
    out[3] = static_cast<std::uint8_t>(count > kI2cReadMaxCount ? kI2cReadMaxCount : count);
    for (std::uint32_t i = 0; i < n; ++i) out[4 + i] = write ? write[i] : 0;
    return n + 4;
}

// (n+2) 30 addr data[n], n clamped to kI2cWriteMaxData (callers split longer
// transfers). out holds up to 256 bytes.
inline unsigned encodeI2cWrite(std::uint8_t* out, std::uint8_t i2cAddress, const std::uint8_t* data,
                               std::uint32_t length) {
    std::uint32_t n = length > kI2cWriteMaxData ? kI2cWriteMaxData : length;
    out[0] = static_cast<std::uint8_t>(n + 2);
    out[1] = CMD_I2C_WRITE;
    out[2] = i2cAddress;
    for (std::uint32_t i = 0; i < n; ++i) out[3 + i] = data[i];
    return n + 3;
}

// 03 40 target item
inline unsigned encodeQuery(std::uint8_t* out, std::uint8_t target, std::uint8_t item) {
    return encodeCommand(out, CMD_QUERY, target, item);
}

// 04 40 target item arg (the I2C probe: target 0, item 0x0C, arg = I2C address)
inline unsigned encodeQueryArg(std::uint8_t* out, std::uint8_t target, std::uint8_t item, std::uint8_t arg) {
    return encodeCommand(out, CMD_QUERY, target, item, arg);
}

// 05 50 00 0A port:u16; port 0 withdraws the host port.
inline unsigned encodeSetHostPort(std::uint8_t* out, std::uint16_t port) {
    return encodeCommand(out, CMD_SET, 0, kSetItemHostPort, byteOf(port, 0), byteOf(port, 1));
}

// 01 80
inline unsigned encodeSync(std::uint8_t* out) { return encodeCommand(out, CMD_SYNC); }

// 02 90 mask; 0xFF resets every slot.
inline unsigned encodeReset(std::uint8_t* out, std::uint8_t slotMask) {
    return encodeCommand(out, CMD_RESET, slotMask);
}

// 00: the empty command, sent alone as keep-alive and as a transport's last datagram.
inline unsigned encodeKeepAlive(std::uint8_t* out) {
    out[0] = 0;
    return kKeepAliveSize;
}

// ---------------------------------------------------------------- board side
//
// What a board needs to judge the requests it receives and to answer them.
// The reply encoders follow the encoders' contract above; each reply reads
// back with the matching reader below.

// Whether a request command of size bytes (L + 1) has a length its code
// allows: the fixed-length commands their encoded size, the variable-length
// ones at least their header. False for the empty command and unknown codes.
inline bool wellFormed(const std::uint8_t* command, std::uint32_t size) {
    if (size < 2) return false;
    switch (command[1]) {
    case CMD_WRITE_REG: return size == kWriteRegSize;
    case CMD_WAIT: return size == kWaitCommandSize;
    case CMD_WRITE_PORT: return size == kWritePortSize;
    case CMD_READ_REG: return size == kReadRegSize;
    case CMD_SET_CLOCK: return size == kSetClockSize;
    case CMD_I2C_READ: return size >= 4;   // L addr count, then what to write first
    case CMD_I2C_WRITE: return size >= 3;  // L addr, then the data
    case CMD_QUERY: return size == kQuerySize || size == kQueryArgSize;
    case CMD_SET: return size == kSetHostPortSize;
    case CMD_SYNC: return size == kSyncSize;
    case CMD_RESET: return size == kResetSize;
    default: return false;
    }
}

// 04 04 T A value: the answer to a register read (readLastByte), the
// request's own shape with the value where the wait was.
inline unsigned encodeReadRegReply(std::uint8_t* out, std::uint8_t target, std::uint8_t reg, std::uint8_t value) {
    return encodeReadReg(out, target, reg, value);
}

// (n+1) 20 data[n]: the answer to an I2C read (readI2cData), n clamped to
// kI2cReadMaxCount; n = 0 (data may be null) is the NACK of an absent
// device. out holds up to 256 bytes.
inline unsigned encodeI2cReadReply(std::uint8_t* out, const std::uint8_t* data, std::uint32_t count) {
    std::uint32_t n = count > kI2cReadMaxCount ? kI2cReadMaxCount : count;
    out[0] = static_cast<std::uint8_t>(n + 1);
    out[1] = CMD_I2C_READ;
    for (std::uint32_t i = 0; i < n; ++i) out[2 + i] = data[i];
    return n + 2;
}

// (n+3) 40 target item value[n]: the answer to a query (readQuery), n
// clamped to kQueryReplyMaxValue. out holds up to 256 bytes.
inline unsigned encodeQueryReply(std::uint8_t* out, std::uint8_t target, std::uint8_t item, const std::uint8_t* value,
                                 std::uint32_t length) {
    std::uint32_t n = length > kQueryReplyMaxValue ? kQueryReplyMaxValue : length;
    encodeQuery(out, target, item);
    out[0] = static_cast<std::uint8_t>(n + 3);
    for (std::uint32_t i = 0; i < n; ++i) out[4 + i] = value[i];
    return n + 4;
}

// ---------------------------------------------------------------- readers
//
// Every reader takes the reply buffer and the number of bytes actually
// received, and reads only inside both that count and the reply's own
// envelope (L + 1 bytes): a reply too short for a value yields no value, never
// a byte left in the buffer by an earlier reply. A received length of 0 is no
// reply.

// Bytes of the reply command that were really received: min(received, L + 1).
inline std::uint32_t replyExtent(const std::uint8_t* reply, std::uint32_t received) {
    if (received == 0) return 0;
    std::uint32_t env = static_cast<std::uint32_t>(reply[0]) + 1;
    return received < env ? received : env;
}

inline bool matches4(const std::uint8_t* reply, std::uint32_t received, const std::uint8_t (&want)[4]) {
    return received >= 4 && reply[0] == want[0] && reply[1] == want[1] && reply[2] == want[2] && reply[3] == want[3];
}

// 03 80 57 50
inline bool isSyncReply(const std::uint8_t* reply, std::uint32_t received) {
    return matches4(reply, received, kSyncReply);
}

// 03 90 4F 4B; anything else (or nothing) is a failed reset.
inline bool isResetAck(const std::uint8_t* reply, std::uint32_t received) {
    return matches4(reply, received, kResetReply);
}

// The byte at index L (the register read's value, the I2C probe's present
// flag). False when that byte was not received.
inline bool readLastByte(const std::uint8_t* reply, std::uint32_t received, std::uint8_t& value) {
    if (received == 0) return false;
    std::uint32_t at = reply[0];
    if (at == 0 || at >= received) return false;
    value = reply[at];
    return true;
}

// An I2C read reply: the L - 1 data bytes from byte 2 are copied to out and
// their count returned. Returns 0 (and copies nothing) when the reply is not
// an I2C read reply, carries no data, was cut short (fewer than L + 1 bytes
// received) or holds more data than capacity.
inline std::uint32_t readI2cData(const std::uint8_t* reply, std::uint32_t received, std::uint8_t* out,
                                 std::uint32_t capacity) {
    if (received < 3 || reply[1] != CMD_I2C_READ) return 0;
    std::uint32_t l = reply[0];
    if (l < 2 || l + 1 > received) return 0;
    std::uint32_t n = l - 1;
    if (!out || n > capacity) return 0;
    for (std::uint32_t i = 0; i < n; ++i) out[i] = reply[2 + i];
    return n;
}

// A query reply: L 40 target item value[L - 3].
struct QueryReply {
    std::uint8_t target = 0;
    std::uint8_t item = 0;
    const std::uint8_t* value = nullptr;  // points into the reply buffer
    std::uint32_t valueLength = 0;        // value bytes actually received
};

// Parses a query reply. False when fewer than 4 bytes came or byte 1 is not
// CMD_QUERY. valueLength counts only received bytes within the envelope.
inline bool readQuery(const std::uint8_t* reply, std::uint32_t received, QueryReply& q) {
    if (received < 4 || reply[1] != CMD_QUERY) return false;
    std::uint32_t end = replyExtent(reply, received);
    q.target = reply[2];
    q.item = reply[3];
    q.value = reply + 4;
    q.valueLength = end > 4 ? end - 4 : 0;
    return true;
}

// Little-endian value bytes [offset, offset + width) of a query reply; false
// (value untouched) when any of them was not received.
inline bool queryValue(const QueryReply& q, std::uint32_t offset, std::uint32_t width, std::uint32_t& value) {
    if (width == 0 || width > 4 || offset + width > q.valueLength) return false;
    std::uint32_t v = 0;
    for (std::uint32_t i = 0; i < width; ++i) v |= static_cast<std::uint32_t>(q.value[offset + i]) << (8 * i);
    value = v;
    return true;
}

// Whether a received datagram answers the request command sent: the same
// code, and for a query the same target and item, for a register read the
// same target and register, for a set the same item; a sync's or a reset's
// answer is whole (four bytes: one cut to its code is no answer, it says
// nothing of whether the board got there or reset). I2C reads carry nothing
// more to compare. Boards answer in order but a reply may
// come after its request gave up; this keeps such a late reply (or one to
// somebody else's request) from being taken as the answer to a later one.
inline bool answers(const std::uint8_t* request, std::uint32_t requestLength, const std::uint8_t* reply,
                    std::uint32_t received) {
    if (requestLength < 2 || received < 2 || reply[1] != request[1]) return false;
    switch (request[1]) {
    case CMD_QUERY:
    case CMD_READ_REG: return requestLength >= 4 && received >= 4 && reply[2] == request[2] && reply[3] == request[3];
    case CMD_SET: return requestLength >= 4 && received >= 4 && reply[3] == request[3];
    case CMD_SYNC: return isSyncReply(reply, received);
    case CMD_RESET: return received >= sizeof kResetReply && reply[0] == kResetReply[0];
    default: return true;
    }
}

// ---------------------------------------------------------------- batches

// The microseconds a board spends on a command sequence by the commands' own
// wait bytes (W1 + W2 of a register write, W of a port write or a register
// read). Other commands count 0; a command cut short counts what is there.
inline std::uint32_t ownWaitUs(const std::uint8_t* bytes, std::uint32_t length) {
    std::uint32_t us = 0;
    for (std::uint32_t pos = 0; pos + 1 < length;) {
        const std::uint32_t size = static_cast<std::uint32_t>(bytes[pos]) + 1;
        const std::uint8_t* c = bytes + pos;
        const std::uint32_t have = length - pos < size ? length - pos : size;
        if (c[1] == CMD_WRITE_REG && have >= kWriteRegSize) us += c[5] + c[6];
        if ((c[1] == CMD_WRITE_PORT || c[1] == CMD_READ_REG) && have >= kWritePortSize) us += c[4];
        pos += size;
    }
    return us;
}

// Walks the commands of a datagram. next() yields each command in turn and
// false at the end or at a command whose L runs past the datagram (then
// truncated() is true).
class CommandCursor {
public:
    CommandCursor(const std::uint8_t* data, std::uint32_t length) : data_(data), length_(length) {}
    bool next(const std::uint8_t*& command, std::uint32_t& size) {
        if (pos_ >= length_) return false;
        std::uint32_t n = static_cast<std::uint32_t>(data_[pos_]) + 1;
        if (n > length_ - pos_) {
            truncated_ = true;
            return false;
        }
        command = data_ + pos_;
        size = n;
        pos_ += n;
        return true;
    }
    bool truncated() const { return truncated_; }

private:
    const std::uint8_t* data_;
    std::uint32_t length_;
    std::uint32_t pos_ = 0;
    bool truncated_ = false;
};

}  // namespace vesk::proto

#endif  // VESK_TRANSPORT_PROTOCOL_H
