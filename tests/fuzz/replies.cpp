// Fuzz target: every reader of a board's replies. The first byte picks the
// reader, the second is its parameter (a buffer capacity, a channel, a
// request length), the rest is what the board sent. Requests go through the
// recording stand-in of the transport, which hands the bytes back as the
// board's answer, so the readers run exactly as the library calls them.
#include <cstring>

#include "chips/chip.h"
#include "core/chip_access.h"
#include "chips/chip_table.h"
#include "discovery/discovery.h"
#include "discovery/query.h"
#include "support/fake_board_link.h"
#include "fuzz_check.h"
#include "transport/exchange.h"
#include "transport/protocol.h"

namespace {

using namespace vesk;
using vesk::fuzz::Bytes;

constexpr const char* kBoard = "fe80::1";
constexpr std::uint8_t kDevice = 0x3C;

// One board, its transport and one YM2151 on it, made once: each run scripts
// the answers it needs and leaves the script empty.
struct Bed {
    std::unique_ptr<fake::FakeBoardLink> transport = std::make_unique<fake::FakeBoardLink>(kBoard);
    fake::Board& board = transport->board();
    VeskChipInfo record = makeRecord();
    std::unique_ptr<Chip> chip{createChip(transport.get(), &record)};
    std::vector<VeskChip*> chips{chip.get()};
    std::vector<BoardLink*> transports{transport.get()};

    Bed() { board.discardPushes = true; }
    static VeskChipInfo makeRecord() {
        VeskChipInfo r{};
        std::strcpy(r.name, "YM2151");
        std::strcpy(r.address, kBoard);
        r.clock = 4000000;
        return r;
    }
    // The board answers the next request of that code with these bytes.
    void answer(std::uint8_t code, const Bytes& reply) {
        board.answer(code, fake::Bytes(reply.data(), reply.data() + reply.size()));
    }
    void answerProbe(bool present) { board.answer(proto::kCmdQuery, {4, proto::kCmdQuery, 0, 0x0C, present}); }
    void done() {
        std::lock_guard<std::mutex> lock(board.mutex);
        board.script.clear();
        board.log.clear();
    }
};

bool startsWith(const Bytes& b, const std::uint8_t (&want)[4]) {
    return b.size() >= 4 && std::memcmp(b.data(), want, 4) == 0;
}

// The value a reply's count byte points at, when it was received.
bool lastByteOf(const Bytes& b, std::uint8_t& v) {
    if (b.size() == 0 || b[0] == 0 || b[0] >= b.size()) return false;
    v = b[b[0]];
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Bed bed;
    fuzz::Input in(data, size);
    const std::uint8_t reader = in.byte();
    const std::uint8_t param = in.byte();
    Bytes reply = in.rest();
    const auto n = static_cast<std::uint32_t>(reply.size());
    I2cProbeCache cache;
    ChipAccess access{bed.chips, bed.transports, cache};

    switch (reader % 10) {
    case 0: {  // board query reply, as start-up receives it (at most 128 bytes)
        VeskBoardInfo board{};
        BoardSettings settings{};
        const std::size_t length = n < proto::kQueryReplySize ? n : proto::kQueryReplySize;
        if (applyBoardReply(reply.data(), length, board, settings))
            FUZZ_CHECK(length >= 4 && reply[1] == proto::kCmdQuery && reply[2] == 0);
        break;
    }
    case 1: {  // slot query reply
        SlotResult slot;
        const std::size_t length = n < proto::kQueryReplySize ? n : proto::kQueryReplySize;
        if (applySlotReply(reply.data(), length, slot))
            FUZZ_CHECK(length >= 4 && reply[1] == proto::kCmdQuery && reply[2] != 0);
        break;
    }
    case 2: {  // discovery: a 16-byte receive buffer; a longer datagram is refused before
        const std::size_t length = n < 16 ? n : 16;
        if (isDiscoveryAnswer(reply.data(), length))
            FUZZ_CHECK(length <= 4 && std::memcmp(reply.data(), proto::kSyncReply, length) == 0);
        break;
    }
    case 3: {  // resets: of every board, and of the chip's slot
        bed.answer(proto::kCmdReset, reply);
        bed.answer(proto::kCmdReset, reply);
        const bool boards = access.resetBoards();
        const bool slot = bed.chip->resetSlot();
        const bool ack = startsWith(reply, proto::kResetReply) && n <= proto::kSmallReplySize;
        FUZZ_CHECK(boards == ack);
        FUZZ_CHECK(slot == (startsWith(reply, proto::kResetReply) && n <= Chip::kReplyCapacity));
        break;
    }
    case 4: {  // register read: the value is the byte the count byte points at, or 0
        bed.answer(proto::kCmdReadReg, reply);
        const std::uint32_t value = bed.chip->read(param);
        std::uint8_t last = 0;
        const bool fits = n <= Chip::kReplyCapacity;  // a longer datagram is no answer
        FUZZ_CHECK(value == (fits && lastByteOf(reply, last) ? last : 0));
        break;
    }
    case 5: {  // I2C read into a buffer of every capacity 0..255
        bed.answerProbe(true);
        bed.answer(proto::kCmdI2cRead, reply);
        const std::uint8_t capacity = param;
        std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[capacity]);
        std::memset(buffer.get(), 0xA5, capacity);
        const std::uint32_t count =
            access.i2cRead(kBoard, kDevice, buffer.get(), capacity, static_cast<std::uint8_t>(~param), nullptr, 0);
        FUZZ_CHECK(count <= capacity);
        if (count) {
            FUZZ_CHECK(reply[0] == count + 1 && reply[1] == proto::kCmdI2cRead);
            FUZZ_CHECK(std::memcmp(buffer.get(), reply.data() + 2, count) == 0);
        } else {
            // Nothing of a refused reply is left in the buffer: untouched or cleared.
            bool untouched = true, cleared = true;
            for (std::uint32_t i = 0; i < capacity; ++i) {
                untouched = untouched && buffer[i] == 0xA5;
                cleared = cleared && buffer[i] == 0;
            }
            FUZZ_CHECK(untouched || cleared);
        }
        break;
    }
    case 6: {  // I2C probe: present when the byte the count byte points at is not 0
        bed.answer(proto::kCmdQuery, reply);
        const bool present = access.i2cProbe(kBoard, kDevice);
        std::uint8_t last = 0;
        FUZZ_CHECK(present == (n <= proto::kSmallReplySize && lastByteOf(reply, last) && last != 0));
        break;
    }
    case 7: {  // volume: a level is six bits, read from a channel's byte
        bed.answerProbe(true);
        bed.answer(proto::kCmdI2cRead, reply);
        std::uint32_t level = 0xFFFFFFFF;
        if (access.getOutputVolume(kBoard, &level, param % 3, 0))
            FUZZ_CHECK(level <= 0x3F);
        else
            FUZZ_CHECK(level == 0xFFFFFFFF);
        break;
    }
    case 8: {  // sync: only the whole fixed answer answers; a volume write fails without it
        std::uint8_t sync[proto::commandSize(proto::kCmdSync)];
        proto::encodeSync(sync);
        const bool whole = proto::isSyncReply(reply.data(), n);
        if (whole) FUZZ_CHECK(startsWith(reply, proto::kSyncReply));
        FUZZ_CHECK(proto::answers(sync, sizeof sync, reply.data(), n) == whole);
        bed.answerProbe(true);
        bed.answer(proto::kCmdSync, reply);
        // (with it, a write of both channels still needs a second answer)
        const bool set = access.setOutputVolume(kBoard, param, param >> 6, 0);
        if (!whole) FUZZ_CHECK(!set);
        break;
    }
    case 9: {  // which request a reply answers, and the replies owed to requests that gave up
        const std::uint32_t requestLength = param % 9 < n ? param % 9 : n;
        const std::uint8_t* request = reply.data();
        const std::uint8_t* answer = reply.data() + requestLength;
        const std::uint32_t answerLength = n - requestLength;
        const bool answers = proto::answers(request, requestLength, answer, answerLength);
        OwedReplies owed;
        const auto now = OwedReplies::Clock::now();
        owed.add(request, requestLength, now);
        FUZZ_CHECK(owed.consume(answer, answerLength, now) == answers);
        FUZZ_CHECK(!owed.consume(answer, answerLength, now));  // paid once
        // The datagram walkers over the same bytes.
        proto::CommandCursor cursor(reply.data(), n);
        const std::uint8_t* command;
        std::uint32_t commandSize, walked = 0;
        while (cursor.next(command, commandSize)) walked += commandSize;
        FUZZ_CHECK(walked <= n && (walked == n) != cursor.truncated());
        (void)proto::ownWaitUs(reply.data(), n);
        break;
    }
    }
    bed.done();
    return 0;
}
