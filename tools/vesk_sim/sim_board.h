// One simulated board: decodes the datagrams it receives, executes them
// against its slots' register files and its I2C bus on a timeline of its
// own, and produces the replies, shaped by the configured faults. No
// sockets here: the event loop (sim_main.cpp) feeds datagrams in and sends
// the replies out at their times.
#ifndef VESK_SIM_BOARD_H
#define VESK_SIM_BOARD_H

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "sim_config.h"
#include "sim_devices.h"
#include "transport/protocol.h"

namespace vesk::sim {

class RecordLine;

struct Peer {
    std::array<std::uint8_t, 16> addr{};
    std::uint16_t port = 0;
    std::uint32_t scope = 0;
};

struct Reply {
    std::vector<std::uint8_t> bytes;
    std::int64_t sendAtNs = 0;  // CLOCK_MONOTONIC
    Peer to;
    std::size_t board = 0;  // index of the board that sends it
    bool foreign = false;   // sent from the board's foreign address (a fault)
};

class Board {
public:
    // record may be null. index is the board's position in the configuration.
    Board(const BoardConfig& cfg, std::size_t index, std::ostream* record);

    const BoardConfig& config() const { return cfg_; }

    // Handles one datagram that reached the socket at wireNs; the board gets
    // it then, or up to jitter_ms later (see arrive). multicast: it was sent
    // to the all-nodes group (discovery). seq numbers the datagram in the
    // record (shared with the other boards that got the same multicast).
    // Appends the replies to send. Accepts any bytes. A datagram that does
    // not fit beside the ones the board still holds is dropped unanswered.
    void receive(const std::uint8_t* data, std::size_t len, bool multicast, const Peer& from, std::int64_t wireNs,
                 std::uint64_t seq, std::vector<Reply>& out);

    // State, for dumps and tests. -1: never written since start or reset.
    int reg(int slot, int port, int address) const;
    int portValue(int slot, int port) const;
    std::uint32_t slotClock(int slot) const;
    std::uint16_t hostPort() const { return hostPort_; }
    std::int64_t timelineNs() const { return cursorNs_; }
    // Bytes of the datagrams taken and not yet played to their end, as of
    // the last arrival.
    std::size_t heldBytes() const { return heldBytes_; }
    I2cDevice* device(std::uint8_t address) const;
    // Register files as text ("slot port reg value" lines, written ones only).
    std::string dumpRegisters() const;
    // The simulator got SIGUSR2 at nowNs: the silence of a board configured
    // with silent_from_signal counts from here (the first signal only).
    void signalled(std::int64_t nowNs) {
        if (signalNs_ < 0) signalNs_ = nowNs;
    }

private:
    struct SlotState {
        std::array<std::int16_t, 16 * 256> regs;  // by port code and register
        std::array<std::int16_t, 256> lastByReg;  // last write to a register on any port
        std::array<std::int16_t, 16> ports;       // last port write by port code
        std::uint32_t clock = 0;
        void clear();
    };

    struct Ctx {
        const Peer* from;
        std::int64_t arrivalNs;
        std::uint64_t seq;
        bool multicast;
        std::vector<Reply>* out;
    };

    // A reply a command makes, with the tags the faults select it by (the
    // first names its kind).
    struct Answer {
        std::vector<std::uint8_t> bytes;
        std::vector<std::string> tags;
    };

    // One well-formed command being executed: its bytes (L + 1 of them), its
    // record line (a handler adds its fields), and what is left to do once
    // the line is written.
    struct Command {
        const std::uint8_t* bytes;
        std::size_t L;
        bool multicast;
        RecordLine& line;
        std::string status = "ok";
        std::vector<Answer> answers;
        std::vector<std::size_t> resets;  // slots the command cleared
    };

    // When a datagram that reached the socket at wireNs reaches the board:
    // the link's jitter added, never before the one before it.
    std::int64_t arrive(std::int64_t wireNs);
    // The timeline moves on by a span of the board's own clock.
    void advance(std::int64_t boardNs);
    void execute(const std::uint8_t* cmd, std::size_t L, std::size_t index, Ctx& ctx);
    // One handler per command code; each records its fields, changes the
    // board's state and timeline, and leaves its status, replies and resets
    // in c.
    void handleWriteReg(Command& c);
    void handleWait(Command& c);
    void handleWritePort(Command& c);
    void handleReadReg(Command& c);
    void handleSetClock(Command& c);
    void handleI2cRead(Command& c);
    void handleI2cWrite(Command& c);
    void handleQuery(Command& c);
    void handleSet(Command& c);
    void handleSync(Command& c);
    void handleReset(Command& c);
    using Handler = void (Board::*)(Command&);
    // The handler of a row of the protocol's command table.
    static Handler handlerOf(const proto::CommandInfo& info);
    // The slot a command addresses, recorded on its line; null when the
    // board has no such slot.
    SlotState* slotAt(int slot, RecordLine& line);
    // The value bytes of a query's answer; false for an item the board does
    // not know.
    bool queryValue(const std::uint8_t* cmd, std::size_t L, std::vector<std::uint8_t>& value,
                    std::vector<std::string>& tags) const;
    void reply(std::vector<std::uint8_t> bytes, const std::vector<std::string>& tags, std::int64_t replayNs, Ctx& ctx);
    static bool matches(const std::vector<std::string>& tags, const std::string& selector);
    std::uint32_t noise();

    BoardConfig cfg_;
    std::size_t index_;
    std::ostream* record_;
    std::vector<SlotState> slots_;
    std::map<std::uint8_t, std::unique_ptr<I2cDevice>> devices_;
    std::uint16_t hostPort_ = 0;
    // Where the board's timeline stands: anchorNs_ (host time, where the
    // board last started from idle) plus boardNs_ of the board's clock since
    // then, converted as a whole so that rounding never accumulates.
    std::int64_t cursorNs_ = 0;
    std::int64_t anchorNs_ = 0;
    std::int64_t boardNs_ = 0;
    // The datagrams held: when each ends on the timeline, and its length.
    // Ends never decrease, so the played ones leave from the front.
    std::deque<std::pair<std::int64_t, std::size_t>> held_;
    std::size_t heldBytes_ = 0;
    std::int64_t lastArrivalNs_ = std::numeric_limits<std::int64_t>::min();
    std::int64_t firstArrivalNs_ = -1;
    std::int64_t signalNs_ = -1;
    std::uint64_t dropCounter_ = 0;
    std::uint32_t noiseState_;
    std::uint64_t jitterState_;
};

}  // namespace vesk::sim

#endif  // VESK_SIM_BOARD_H
