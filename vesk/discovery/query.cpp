#include "discovery/query.h"

#include <algorithm>
#include <cstring>

#include "discovery/discovery.h"
#include "discovery/init_report.h"
#include "transport/exchange.h"
#include "transport/protocol.h"

namespace vesk {

namespace {

constexpr std::size_t kQueryReplySize = 128;
// Asks one item; length is 0 when no answer to this very query came within
// the socket time-out.
void askAndApply(const BoardEndpoint& e, std::uint8_t target, std::uint8_t item, std::uint8_t* buf,
                 std::size_t& length) {
    std::uint8_t query[proto::commandSize(proto::kCmdQuery)];
    plat::SockAddr6 to;
    length = 0;
    if (e.socket == plat::kInvalidSocket || !boardDestination(e.boardAddress, to)) return;
    Reply r = exchange(e.socket, to, query, proto::encodeQuery(query, target, item), buf, kQueryReplySize,
                       std::int64_t{kSocketTimeoutMs} * 1000);
    if (r.status == ReplyStatus::Answered) length = r.length;
}

}  // namespace

void copyTextField(char* field, std::size_t fieldSize, const std::uint8_t* text, std::size_t length) {
    std::memset(field, 0, fieldSize);
    if (length <= fieldSize) std::memcpy(field, text, length);
}

void copyAddressField(char (&field)[65], const std::string& text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min<std::size_t>(text.size(), 64));
}

bool applyBoardReply(const std::uint8_t* r, std::size_t length, VeskBoardInfo& board, BoardSettings& settings) {
    proto::QueryReply q;
    if (!proto::readQuery(r, static_cast<std::uint32_t>(length), q) || q.target != 0) return false;
    std::uint32_t v = 0;
    switch (q.item) {
    case proto::kBoardItemFirmware:
        if (!proto::queryValue(q, 0, 3, v)) return false;
        board.firmwareVersion = v << 8;  // major.minor.patch in bytes 1..3
        return true;
    case proto::kBoardItemSlotCount:
        if (!proto::queryValue(q, 0, 1, v)) return false;
        board.slotCount = v;
        return true;
    case proto::kBoardItemWait:
        if (!proto::queryValue(q, 0, 2, v)) return false;
        board.waitMs = static_cast<std::uint16_t>(v);
        return true;
    case proto::kBoardItemBufferSize:
        if (!proto::queryValue(q, 0, 4, v)) return false;
        board.bufferSize = v;
        return true;
    case proto::kBoardItemName:
        if (r[0] <= 3) return false;
        copyTextField(board.name, sizeof board.name, q.value, q.valueLength);
        return true;
    case proto::kBoardItemIPv4:
        if (r[0] <= 3) return false;
        copyTextField(board.boardIPv4, sizeof board.boardIPv4, q.value, q.valueLength);
        return true;
    case proto::kBoardItemIdle:
        if (!proto::queryValue(q, 0, 1, v)) return false;
        settings.idleMs = static_cast<std::uint8_t>(v);
        return true;
    default: return false;
    }
}

bool applySlotReply(const std::uint8_t* r, std::size_t length, SlotResult& slot) {
    proto::QueryReply q;
    if (!proto::readQuery(r, static_cast<std::uint32_t>(length), q) || q.target == 0) return false;
    std::uint32_t v = 0;
    switch (q.item) {
    case proto::kSlotItemPresent:
        if (!proto::queryValue(q, 0, 1, v)) return false;
        slot.present = v != 0;
        return true;
    case proto::kSlotItemVariableClock:
        if (!proto::queryValue(q, 0, 1, v)) return false;
        slot.info.variableClock = v ? 1 : 0;
        return true;
    case proto::kSlotItemHardwareReset:
        if (!proto::queryValue(q, 0, 1, v)) return false;
        slot.info.hardwareReset = v ? 1 : 0;
        return true;
    case proto::kSlotItemClock:
        if (!proto::queryValue(q, 0, 4, v)) return false;
        slot.info.clock = v;
        return true;
    case proto::kSlotItemName:
        if (r[0] <= 3) return false;
        copyTextField(slot.info.name, sizeof slot.info.name, q.value, q.valueLength);
        return true;
    case proto::kSlotItemExtInfo:
        if (r[0] <= 3) return false;
        copyTextField(slot.info.extInfo, sizeof slot.info.extInfo, q.value, q.valueLength);
        return true;
    default: return false;
    }
}

void queryBoards(const std::list<BoardEndpoint>& endpoints, VeskBoardInfo* boards, BoardSettings* settings,
                 InitReport* report) {
    static const std::uint8_t kItems[] = {
        proto::kBoardItemFirmware, proto::kBoardItemSlotCount, proto::kBoardItemWait, proto::kBoardItemBufferSize,
        proto::kBoardItemName,     proto::kBoardItemIPv4,      proto::kBoardItemIdle};
    std::size_t i = 0;
    for (const auto& e : endpoints) {
        VeskBoardInfo& b = boards[i];
        BoardSettings& s = settings[i];
        ++i;
        copyAddressField(b.localAddress, e.localAddress);
        copyAddressField(b.boardAddress, e.boardAddress);
        b.protocol = 0;
        b.listenPort = proto::kBoardPort;
        b.sendPort = e.hostPort;
        s.gapMs = kBatchGapMs;
        std::size_t answered = 0;
        for (std::uint8_t item : kItems) {
            std::uint8_t buf[kQueryReplySize];
            std::size_t length;
            askAndApply(e, 0, item, buf, length);
            applyBoardReply(buf, length, b, s);
            answered += length > 0;
        }
        plat::logLine("board " + e.boardAddress + ": " + std::to_string(answered) + " of " +
                      std::to_string(sizeof kItems) + " questions answered, " + std::to_string(b.slotCount) +
                      " slot(s), firmware " + std::to_string(b.firmwareVersion >> 24) + "." +
                      std::to_string(b.firmwareVersion >> 16 & 0xFF) + "." +
                      std::to_string(b.firmwareVersion >> 8 & 0xFF));
        // A board without a socket is already reported with its port.
        if (report && answered == 0 && e.socket != plat::kInvalidSocket)
            report->add("The board at " + e.boardAddress +
                        " answered the search but none of the questions that followed, so its chips cannot be "
                        "used. Switch the board off and on again; if that does not help, check that no firewall "
                        "blocks the board's replies.");
    }
}

std::vector<SlotResult> querySlots(const std::list<BoardEndpoint>& endpoints, const VeskBoardInfo* boards) {
    std::vector<SlotResult> results;
    std::size_t i = 0;
    for (const auto& e : endpoints) {
        const VeskBoardInfo& b = boards[i++];
        for (std::uint32_t s = 0; s < b.slotCount; ++s) {
            SlotResult result;
            copyAddressField(result.info.address, e.boardAddress);
            result.info.slot = s;
            for (std::uint8_t item = proto::kSlotItemPresent; item <= proto::kSlotItemExtInfo; ++item) {
                std::uint8_t buf[kQueryReplySize];
                std::size_t length;
                askAndApply(e, static_cast<std::uint8_t>(s + 1), item, buf, length);
                applySlotReply(buf, length, result);
            }
            results.push_back(result);
        }
    }
    return results;
}

}  // namespace vesk
