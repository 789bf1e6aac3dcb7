#include "discovery/query.h"

#include <algorithm>
#include <cstring>

#include "discovery/discovery.h"
#include "transport/protocol.h"

namespace vesk {

namespace {

constexpr std::size_t kQueryReplySize = 128;
constexpr std::size_t kValueAt = 4;  // first value byte of a query reply

// The value bytes of a reply: L - 3 by its count byte, cut to what arrived.
std::size_t valueLength(const std::uint8_t* reply, std::size_t length) {
    if (length <= kValueAt || reply[0] <= 3) return 0;
    return std::min<std::size_t>(reply[0] - 3u, length - kValueAt);
}

bool has(std::size_t length, std::size_t bytes) { return length >= kValueAt + bytes; }

std::uint32_t le(const std::uint8_t* p, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void askAndApply(const BoardEndpoint& e, std::uint8_t target, std::uint8_t item, std::uint8_t* buf,
                 std::size_t& length) {
    const std::uint8_t query[4] = {0x03, proto::CMD_QUERY, target, item};
    plat::SockAddr6 to;
    length = 0;
    if (e.socket == plat::kInvalidSocket || !boardDestination(e.boardAddress, to)) return;
    plat::sendTo(e.socket, query, sizeof query, to);
    plat::RecvResult r = plat::recvFrom(e.socket, buf, kQueryReplySize);
    if (r.status == plat::RecvStatus::Ok) length = r.length;
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
    if (length < kValueAt || r[1] != proto::CMD_QUERY || r[2] != 0) return false;
    const std::uint8_t* v = r + kValueAt;
    const std::size_t textLength = valueLength(r, length);
    switch (r[3]) {
    case proto::kBoardItemFirmware:
        if (!has(length, 3)) return false;
        board.firmwareVersion = static_cast<std::uint32_t>(v[0]) << 8 | static_cast<std::uint32_t>(v[1]) << 16 |
                                static_cast<std::uint32_t>(v[2]) << 24;
        return true;
    case proto::kBoardItemSlotCount:
        if (!has(length, 1)) return false;
        board.slotCount = v[0];
        return true;
    case proto::kBoardItemWait:
        if (!has(length, 2)) return false;
        board.waitMs = static_cast<std::uint16_t>(le(v, 2));
        return true;
    case proto::kBoardItemBufferSize:
        if (!has(length, 4)) return false;
        board.bufferSize = le(v, 4);
        return true;
    case proto::kBoardItemName:
        if (r[0] <= 3) return false;
        copyTextField(board.name, sizeof board.name, v, textLength);
        return true;
    case proto::kBoardItemIPv4:
        if (r[0] <= 3) return false;
        copyTextField(board.boardIPv4, sizeof board.boardIPv4, v, textLength);
        return true;
    case proto::kBoardItemIdle:
        if (!has(length, 1)) return false;
        settings.idleMs = v[0];
        return true;
    default:
        return false;
    }
}

bool applySlotReply(const std::uint8_t* r, std::size_t length, SlotResult& slot) {
    if (length < kValueAt || r[1] != proto::CMD_QUERY || r[2] == 0) return false;
    const std::uint8_t* v = r + kValueAt;
    const std::size_t textLength = valueLength(r, length);
    switch (r[3]) {
    case proto::kSlotItemPresent:
        if (!has(length, 1)) return false;
        slot.present = v[0] != 0;
        return true;
    case proto::kSlotItemVariableClock:
        if (!has(length, 1)) return false;
        slot.info.variableClock = v[0] ? 1 : 0;
        return true;
    case proto::kSlotItemHardwareReset:
        if (!has(length, 1)) return false;
        slot.info.hardwareReset = v[0] ? 1 : 0;
        return true;
    case proto::kSlotItemClock:
        if (!has(length, 4)) return false;
        slot.info.clock = le(v, 4);
        return true;
    case proto::kSlotItemName:
        if (r[0] <= 3) return false;
        copyTextField(slot.info.name, sizeof slot.info.name, v, textLength);
        return true;
    case proto::kSlotItemExtInfo:
        if (r[0] <= 3) return false;
        copyTextField(slot.info.extInfo, sizeof slot.info.extInfo, v, textLength);
        return true;
    default:
        return false;
    }
}

void queryBoards(const std::list<BoardEndpoint>& endpoints, VeskBoardInfo* boards, BoardSettings* settings) {
    static const std::uint8_t kItems[] = {proto::kBoardItemFirmware, proto::kBoardItemSlotCount,
                                          proto::kBoardItemWait,     proto::kBoardItemBufferSize,
                                          proto::kBoardItemName,     proto::kBoardItemIPv4,
                                          proto::kBoardItemIdle};
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
        for (std::uint8_t item : kItems) {
            std::uint8_t buf[kQueryReplySize];
            std::size_t length;
            askAndApply(e, 0, item, buf, length);
            applyBoardReply(buf, length, b, s);
        }
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
