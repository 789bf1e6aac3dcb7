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

}  // namespace vesk::proto

#endif  // VESK_TRANSPORT_PROTOCOL_H
