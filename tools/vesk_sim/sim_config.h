// Configuration of the board simulator: which boards it plays, on which
// links, with which slots, I2C devices and faults. Read from a TOML file.
#ifndef VESK_SIM_CONFIG_H
#define VESK_SIM_CONFIG_H

#include <array>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vesk::sim {

// A configuration the simulator refuses. what() names the file, the line
// and the key: "<file>:<line>: <key>: <problem>".
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SlotConfig {
    bool present = true;
    std::string chip;         // model name text sent for slot item 0x04
    std::uint32_t clock = 0;  // Hz
    bool variableClock = false;
    bool hardwareReset = false;
    std::string extInfo;  // slot item 0x05
    // Values register reads return before anything was written there,
    // keyed by (port code, register). Port -1 matches any port code.
    std::map<std::pair<int, int>, std::uint8_t> reads;
};

enum class I2cKind { Attenuator, Display, Memory };

struct I2cDeviceConfig {
    std::uint8_t address = 0;
    I2cKind kind = I2cKind::Memory;
    std::array<std::uint8_t, 2> levels{{0, 0}};  // attenuator start levels (0..63)
    std::vector<std::uint8_t> data;              // memory start content
};

// Faults act on the replies a board sends. A reply is named by selectors:
// "*", "discovery", "sync", "reset", "read", "i2c_read", "set", "query",
// "board:0xNN" (board query item), "slot:0xNN" (slot query item, any slot),
// "read:0xNN" (register read of that register), "i2c_read:0xNN" (I2C read
// of that device); NN is two lower-case hex digits.
struct FaultConfig {
    std::vector<std::string> noReply;              // replies never sent
    std::map<std::string, std::uint32_t> delayMs;  // replies sent late
    std::uint32_t dropEvery = 0;                   // every n-th matching reply lost
    std::string dropMatch = "*";
    std::vector<std::string> garbage;               // replies replaced by noise
    std::map<std::string, std::uint32_t> truncate;  // replies cut to n bytes
    bool duplicateDiscovery = false;                // discovery answered twice
    std::vector<std::string> duplicate;             // replies sent twice
    // Replies preceded by a copy from foreignAddr (same link, same port),
    // its last byte inverted, as another node on the link would send it.
    std::vector<std::string> foreignReply;
    std::string foreignAddress;  // default: the board's, last byte ^ 0x80
    std::array<std::uint8_t, 16> foreignAddr{};
    std::int64_t silentAfterMs = -1;  // < 0: never; counted from the first datagram
    std::int64_t silentForMs = 0;     // > 0: the silence ends this long after it began
    bool silentFromSignal = false;    // the silence's times count from SIGUSR2, not the first datagram
};

struct BoardConfig {
    std::string name = "VESK-SIM";
    std::string link;                                 // interface name the board sits on
    std::string address;                              // link-local address text
    std::array<std::uint8_t, 16> addr{};              // parsed address
    std::array<std::uint8_t, 3> firmware{{1, 0, 0}};  // major, minor, patch
    std::uint16_t waitMs = 50;
    std::uint32_t bufferSize = 16384;
    std::string ipv4 = "192.168.0.10";
    std::uint8_t idleMs = 100;
    bool paceReplies = false;  // reply when the board's timeline reaches the command (syncs always do)
    std::uint32_t seed = 1;    // noise of garbage replies and of the link's jitter
    // The board's crystal runs fast by this many parts per million: a wait
    // of X us takes X / (1 + clockPpm / 1e6) us of the host's time.
    double clockPpm = 0;
    // Each datagram reaches the board uniformly 0 to this many ms after it
    // reached the socket (never before the one sent before it).
    double jitterMs = 0;
    std::vector<SlotConfig> slots;
    std::vector<I2cDeviceConfig> i2c;
    FaultConfig faults;
};

struct SimConfig {
    std::string file;
    std::vector<BoardConfig> boards;
};

// Parses TOML text; file names the source in error messages. Throws ConfigError.
SimConfig parseConfig(const std::string& text, const std::string& file);
// Reads and parses a file. Throws ConfigError (also when it cannot be read).
SimConfig loadConfig(const std::string& path);

// Parses a standard IPv6 text (no scope); false when malformed.
bool parseIPv6(const std::string& text, std::array<std::uint8_t, 16>& out);

}  // namespace vesk::sim

#endif  // VESK_SIM_CONFIG_H
