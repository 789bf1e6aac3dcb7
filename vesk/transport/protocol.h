// The board protocol: command envelope, the command table, encoders and
// readers.
//
// A command is L (bytes that follow), code, payload; a datagram is commands
// back to back with no header. Numbers are little-endian. Replies use the
// same envelope with the code of the command answered.
//
// kCommands below holds each command's facts once: its size limits, its
// name, whether and how the board answers it. wellFormed, answers, the
// simulator's dispatch and every caller's buffer size read them from there.
#ifndef VESK_TRANSPORT_PROTOCOL_H
#define VESK_TRANSPORT_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace vesk::proto {

// UDP port every board listens on (and the first host port).
constexpr std::uint16_t kBoardPort = 50003;

// Command codes (their layouts are in kCommands).
constexpr std::uint8_t kCmdWriteReg = 0x00;
constexpr std::uint8_t kCmdWait = 0x01;
constexpr std::uint8_t kCmdWritePort = 0x02;
constexpr std::uint8_t kCmdReadReg = 0x04;
constexpr std::uint8_t kCmdSetClock = 0x08;
constexpr std::uint8_t kCmdI2cRead = 0x20;
constexpr std::uint8_t kCmdI2cWrite = 0x30;
constexpr std::uint8_t kCmdQuery = 0x40;
constexpr std::uint8_t kCmdSet = 0x50;
constexpr std::uint8_t kCmdSync = 0x80;
constexpr std::uint8_t kCmdReset = 0x90;

// kCmdWait units.
constexpr std::uint8_t kWaitUnitUs = 0;
constexpr std::uint8_t kWaitUnitMs = 1;

// kCmdSet board item holding the host port.
constexpr std::uint8_t kSetItemHostPort = 0x0A;

// kCmdQuery items of the board (target 0).
constexpr std::uint8_t kBoardItemFirmware = 0x00;
constexpr std::uint8_t kBoardItemSlotCount = 0x01;
constexpr std::uint8_t kBoardItemWait = 0x04;
constexpr std::uint8_t kBoardItemBufferSize = 0x05;
constexpr std::uint8_t kBoardItemName = 0x06;
constexpr std::uint8_t kBoardItemIPv4 = 0x07;
constexpr std::uint8_t kBoardItemIdle = 0x0B;
constexpr std::uint8_t kBoardItemI2cProbe = 0x0C;

// kCmdQuery items of a slot (target slot + 1).
constexpr std::uint8_t kSlotItemPresent = 0x00;
constexpr std::uint8_t kSlotItemVariableClock = 0x01;
constexpr std::uint8_t kSlotItemHardwareReset = 0x02;
constexpr std::uint8_t kSlotItemClock = 0x03;
constexpr std::uint8_t kSlotItemName = 0x04;
constexpr std::uint8_t kSlotItemExtInfo = 0x05;

// The envelope: L is one byte; the empty command (L = 0, no code) is the
// keep-alive, sent alone, and a transport's last datagram.
constexpr unsigned kMaxCommandSize = 256;
constexpr unsigned kKeepAliveSize = 1;

// ---------------------------------------------------------------- commands

// How a board answers a command.
enum class ReplyKind : std::uint8_t {
    None,         // never
    Repeats,      // a reply of the command's code; it answers only when it repeats the request bytes `match` marks
    Fixed,        // fixedReply, whole; anything else is no answer
    FixedLength,  // a reply of fixedReply's length: fixedReply itself is success, other bytes a failure
};

// One command. Sizes count whole commands (L + 1): a fixed-length command
// has size == maxSize, a variable-length one has its header as size and its
// limit as maxSize. The reply sizes follow the same rule.
struct CommandInfo {
    std::uint8_t code;
    const char* name;  // for records, logs and errors
    std::uint16_t size;
    std::uint16_t maxSize;
    ReplyKind reply;
    std::uint8_t match;  // bit i: the reply's byte i must equal the request's (Repeats)
    std::uint16_t replySize;
    std::uint16_t replyMaxSize;
    std::uint8_t fixedReply[4];  // Fixed and FixedLength: replySize bytes
};

// Every command a board knows, request -> reply.
inline constexpr CommandInfo kCommands[] = {
    // 06 00 T A D W1 W2
    {kCmdWriteReg, "write_reg", 7, 7, ReplyKind::None, 0, 0, 0, {}},
    // 04 01 unit(1 ms, 0 us) value:u16
    {kCmdWait, "wait", 5, 5, ReplyKind::None, 0, 0, 0, {}},
    // 04 02 T D W
    {kCmdWritePort, "write_port", 5, 5, ReplyKind::None, 0, 0, 0, {}},
    // 04 04 T A W -> 04 04 T A value
    {kCmdReadReg, "read_reg", 5, 5, ReplyKind::Repeats, 1 << 2 | 1 << 3, 5, 5, {}},
    // 06 08 S clock:u32
    {kCmdSetClock, "set_clock", 7, 7, ReplyKind::None, 0, 0, 0, {}},
    // (n+3) 20 addr count write[n] -> (n+1) 20 data[n]; no data: no device answered
    {kCmdI2cRead, "i2c_read", 4, kMaxCommandSize, ReplyKind::Repeats, 0, 2, kMaxCommandSize, {}},
    // (n+2) 30 addr data[n]
    {kCmdI2cWrite, "i2c_write", 3, kMaxCommandSize, ReplyKind::None, 0, 0, 0, {}},
    // 03 40 target item [arg] -> (n+3) 40 target item value[n]
    {kCmdQuery, "query", 4, 5, ReplyKind::Repeats, 1 << 2 | 1 << 3, 4, kMaxCommandSize, {}},
    // 05 50 target item value:u16 -> the command itself
    {kCmdSet, "set", 6, 6, ReplyKind::Repeats, 1 << 3, 6, 6, {}},
    // 01 80 -> 03 80 57 50
    {kCmdSync, "sync", 2, 2, ReplyKind::Fixed, 0, 4, 4, {0x03, kCmdSync, 'W', 'P'}},
    // 02 90 mask -> 03 90 4F 4B
    {kCmdReset, "reset", 3, 3, ReplyKind::FixedLength, 0, 4, 4, {0x03, kCmdReset, 'O', 'K'}},
};
constexpr std::size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

namespace detail {
constexpr std::uint8_t kNoRow = 0xFF;
struct CommandIndex {
    std::uint8_t row[256];
};
// kCommands' row of each code, by code.
constexpr CommandIndex indexCommands() {
    CommandIndex index{};
    for (auto& r : index.row) r = kNoRow;
    for (std::size_t i = 0; i < kCommandCount; ++i) index.row[kCommands[i].code] = static_cast<std::uint8_t>(i);
    return index;
}
inline constexpr CommandIndex kCommandIndex = indexCommands();

// The rules every row keeps (the readers and the simulator count on them).
constexpr bool rowsConsistent() {
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        const CommandInfo& c = kCommands[i];
        if (kCommandIndex.row[c.code] != i) return false;  // one row per code
        if (c.size < 2 || c.size > c.maxSize || c.maxSize > kMaxCommandSize) return false;
        if (c.reply == ReplyKind::None) continue;
        if (c.replySize < 2 || c.replySize > c.replyMaxSize || c.replyMaxSize > kMaxCommandSize) return false;
        // The bytes compared lie past L and the code, inside both commands.
        if (c.match & 3 || (c.size < 8 && c.match >> c.size) || (c.replySize < 8 && c.match >> c.replySize))
            return false;
        const bool fixed = c.reply == ReplyKind::Fixed || c.reply == ReplyKind::FixedLength;
        if (fixed && (c.replySize != sizeof c.fixedReply || c.replyMaxSize != c.replySize ||
                      c.fixedReply[0] != c.replySize - 1 || c.fixedReply[1] != c.code))
            return false;
    }
    return true;
}
static_assert(rowsConsistent(), "a row of kCommands breaks the envelope's rules");
}  // namespace detail

// The row of a code, or null for a code no board knows.
constexpr const CommandInfo* findCommand(std::uint8_t code) {
    const std::uint8_t row = detail::kCommandIndex.row[code];
    return row == detail::kNoRow ? nullptr : &kCommands[row];
}

// The row of one of the codes above; in a constant expression any other
// code fails to compile.
constexpr const CommandInfo& commandInfo(std::uint8_t code) { return *findCommand(code); }

// The encoded size of a fixed-length command, the header of a variable one.
constexpr unsigned commandSize(std::uint8_t code) { return commandInfo(code).size; }

// The fixed replies.
inline constexpr const auto& kSyncReply = commandInfo(kCmdSync).fixedReply;
inline constexpr const auto& kResetReply = commandInfo(kCmdReset).fixedReply;

// Limits of the variable-length commands and replies: the data after their
// headers.
constexpr unsigned kI2cReadMaxWrite = commandInfo(kCmdI2cRead).maxSize - commandSize(kCmdI2cRead);
constexpr unsigned kI2cReadMaxCount = commandInfo(kCmdI2cRead).replyMaxSize - commandInfo(kCmdI2cRead).replySize;
constexpr unsigned kI2cWriteMaxData = commandInfo(kCmdI2cWrite).maxSize - commandSize(kCmdI2cWrite);
constexpr unsigned kQueryReplyMaxValue = commandInfo(kCmdQuery).replyMaxSize - commandInfo(kCmdQuery).replySize;

// Reply buffer sizes the callers use.
constexpr unsigned kSmallReplySize = 16;
constexpr unsigned kQueryReplySize = 128;
constexpr unsigned kI2cReplySize = commandInfo(kCmdI2cRead).replyMaxSize;

// ---------------------------------------------------------------- encoders
//
// Each encoder writes one complete command at out and returns its length in
// bytes. out must hold at least that many bytes (commandSize of a fixed-length
// command, the stated maximum for the variable-length ones). Nothing is allocated.

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
    return encodeCommand(out, kCmdWriteReg, target, reg, data, wait1, wait2);
}

// 04 02 T D W
inline unsigned encodeWritePort(std::uint8_t* out, std::uint8_t target, std::uint8_t data, std::uint8_t wait) {
    return encodeCommand(out, kCmdWritePort, target, data, wait);
}

// 04 04 T A W
inline unsigned encodeReadReg(std::uint8_t* out, std::uint8_t target, std::uint8_t reg, std::uint8_t wait) {
    return encodeCommand(out, kCmdReadReg, target, reg, wait);
}

// 06 08 S clock:u32. slotByte carries bit 7 when the caller asks for it.
inline unsigned encodeSetClock(std::uint8_t* out, std::uint8_t slotByte, std::uint32_t clockHz) {
    return encodeCommand(out, kCmdSetClock, slotByte, byteOf(clockHz, 0), byteOf(clockHz, 1), byteOf(clockHz, 2),
                         byteOf(clockHz, 3));
}

// 04 01 unit value:u16
inline unsigned encodeWait(std::uint8_t* out, std::uint8_t unit, std::uint16_t value) {
    return encodeCommand(out, kCmdWait, unit, byteOf(value, 0), byteOf(value, 1));
}
inline unsigned encodeWaitMs(std::uint8_t* out, std::uint16_t ms) { return encodeWait(out, kWaitUnitMs, ms); }
inline unsigned encodeWaitUs(std::uint8_t* out, std::uint16_t us) { return encodeWait(out, kWaitUnitUs, us); }

// A delay as wait commands: whole ms in one, the remaining us in another.
// Nothing for a delay of 10 us or less (the board's own command handling is
// of that order); delays past 0xFFFF ms are cut to it. Writes at most
// kDelayMaxSize bytes; *encodedUs is the delay the board will wait.
constexpr unsigned kDelayMaxSize = 2 * commandSize(kCmdWait);
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
    out[1] = kCmdI2cRead;
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
    out[1] = kCmdI2cWrite;
    out[2] = i2cAddress;
    for (std::uint32_t i = 0; i < n; ++i) out[3 + i] = data[i];
    return n + 3;
}

// 03 40 target item
inline unsigned encodeQuery(std::uint8_t* out, std::uint8_t target, std::uint8_t item) {
    return encodeCommand(out, kCmdQuery, target, item);
}

// 04 40 target item arg (the I2C probe: target 0, item 0x0C, arg = I2C address)
inline unsigned encodeQueryArg(std::uint8_t* out, std::uint8_t target, std::uint8_t item, std::uint8_t arg) {
    return encodeCommand(out, kCmdQuery, target, item, arg);
}

// 05 50 00 0A port:u16; port 0 withdraws the host port.
inline unsigned encodeSetHostPort(std::uint8_t* out, std::uint16_t port) {
    return encodeCommand(out, kCmdSet, 0, kSetItemHostPort, byteOf(port, 0), byteOf(port, 1));
}

// 01 80
inline unsigned encodeSync(std::uint8_t* out) { return encodeCommand(out, kCmdSync); }

// 02 90 mask; 0xFF resets every slot.
inline unsigned encodeReset(std::uint8_t* out, std::uint8_t slotMask) {
    return encodeCommand(out, kCmdReset, slotMask);
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
    const CommandInfo* c = findCommand(command[1]);
    return c && size >= c->size && size <= c->maxSize;
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
    out[1] = kCmdI2cRead;
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

// Whether the reply is the command's fixed reply, whole.
inline bool isFixedReply(const CommandInfo& c, const std::uint8_t* reply, std::uint32_t received) {
    if (received < c.replySize) return false;
    for (unsigned i = 0; i < c.replySize; ++i)
        if (reply[i] != c.fixedReply[i]) return false;
    return true;
}

// 03 80 57 50
inline bool isSyncReply(const std::uint8_t* reply, std::uint32_t received) {
    return isFixedReply(commandInfo(kCmdSync), reply, received);
}

// 03 90 4F 4B; anything else (or nothing) is a failed reset.
inline bool isResetAck(const std::uint8_t* reply, std::uint32_t received) {
    return isFixedReply(commandInfo(kCmdReset), reply, received);
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
    if (received < 3 || reply[1] != kCmdI2cRead) return 0;
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
// kCmdQuery. valueLength counts only received bytes within the envelope.
inline bool readQuery(const std::uint8_t* reply, std::uint32_t received, QueryReply& q) {
    if (received < 4 || reply[1] != kCmdQuery) return false;
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
// code, then the row's reply rule: the request bytes it repeats (a query's
// target and item, a register read's target and register, a set's item), a
// sync's fixed reply whole, a reset's reply at its full length (one cut to
// its code says nothing of whether the board got there or reset). A code
// without a rule (an I2C read, an unknown code) carries nothing more to
// compare. Boards answer in order but a reply may come after its request
// gave up; this keeps such a late reply (or one to somebody else's request)
// from being taken as the answer to a later one.
inline bool answers(const std::uint8_t* request, std::uint32_t requestLength, const std::uint8_t* reply,
                    std::uint32_t received) {
    if (requestLength < 2 || received < 2 || reply[1] != request[1]) return false;
    const CommandInfo* c = findCommand(request[1]);
    if (!c) return true;
    switch (c->reply) {
    case ReplyKind::Fixed: return isFixedReply(*c, reply, received);
    case ReplyKind::FixedLength: return received >= c->replySize && reply[0] == c->fixedReply[0];
    default:
        for (std::uint32_t i = 2; c->match >> i; ++i)
            if ((c->match >> i & 1) && (i >= requestLength || i >= received || reply[i] != request[i])) return false;
        return true;
    }
}

// ---------------------------------------------------------------- batches

// The microseconds a board spends on a command sequence by the commands' own
// wait bytes (W1 + W2 of a register write, W of a port write or a register
// read). Other commands count 0; a command cut short counts what is there.
inline std::uint32_t ownWaitUs(const std::uint8_t* bytes, std::uint32_t length) {
    constexpr std::uint32_t kWriteReg = commandSize(kCmdWriteReg), kWritePort = commandSize(kCmdWritePort);
    static_assert(commandSize(kCmdReadReg) == kWritePort, "a register read's wait sits where a port write's does");
    std::uint32_t us = 0;
    for (std::uint32_t pos = 0; pos + 1 < length;) {
        const std::uint32_t size = static_cast<std::uint32_t>(bytes[pos]) + 1;
        const std::uint8_t* c = bytes + pos;
        const std::uint32_t have = length - pos < size ? length - pos : size;
        if (c[1] == kCmdWriteReg && have >= kWriteReg) us += c[5] + c[6];
        if ((c[1] == kCmdWritePort || c[1] == kCmdReadReg) && have >= kWritePort) us += c[4];
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
