// The transport's members as the recording stand-in implements them.
#include "fake_board_transport.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "transport/protocol.h"

namespace vesk {

namespace fake {
namespace {

std::mutex registryMutex;
std::unordered_map<const BoardTransport*, std::unique_ptr<Board>>& registry() {
    static std::unordered_map<const BoardTransport*, std::unique_ptr<Board>> boards;
    return boards;
}

}  // namespace

Board& boardOf(const BoardTransport* transport) {
    std::lock_guard<std::mutex> lock(registryMutex);
    return *registry().at(transport);
}

std::unique_ptr<BoardTransport> makeTransport(const std::string& boardAddress, std::uint32_t bufferSize) {
    return std::make_unique<BoardTransport>(plat::kInvalidSocket, boardAddress.c_str(), 10, bufferSize, 20, 2);
}

}  // namespace fake

BoardTransport::BoardTransport(plat::Socket, const char* address, std::uint16_t, std::uint32_t bufferSize, std::uint8_t,
                               std::uint8_t)
    : keepAliveEnabled(true), dataSent(false), boardAddress{}, waitMs_(10), gapMs_(2), bufferSize_(bufferSize) {
    std::strncpy(boardAddress, address, sizeof boardAddress - 1);
    auto board = std::make_unique<fake::Board>();
    board->bufferSize = bufferSize;
    std::lock_guard<std::mutex> lock(fake::registryMutex);
    fake::registry()[this] = std::move(board);
}

BoardTransport::~BoardTransport() {
    std::lock_guard<std::mutex> lock(fake::registryMutex);
    fake::registry().erase(this);
}

void BoardTransport::push(const std::uint8_t* bytes, std::uint32_t length) {
    fake::Board& b = fake::boardOf(this);
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!b.discardPushes) b.log.push_back({false, fake::Bytes(bytes, bytes + length), 0, 0});
}

std::uint32_t BoardTransport::request(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                                      std::uint32_t capacity, std::uint32_t extraSeconds) {
    fake::Board& b = fake::boardOf(this);
    std::lock_guard<std::mutex> lock(b.mutex);
    b.log.push_back({true, fake::Bytes(command, command + length), capacity, extraSeconds});
    const std::uint8_t code = length > 1 ? command[1] : 0xFF;
    fake::Bytes answer;
    auto scripted = b.script.find(code);
    if (scripted != b.script.end() && !scripted->second.empty()) {
        answer = std::move(scripted->second.front());
        scripted->second.pop_front();
    } else if (!b.silent && code == proto::CMD_RESET) {
        answer.assign(proto::kResetReply, proto::kResetReply + 4);
    } else if (!b.silent && code == proto::CMD_SYNC) {
        answer.assign(proto::kSyncReply, proto::kSyncReply + 4);
    }
    // A datagram longer than the buffer is a receive error, as on the wire.
    if (answer.empty() || answer.size() > capacity) return 0;
    std::memcpy(reply, answer.data(), answer.size());
    return static_cast<std::uint32_t>(answer.size());
}

}  // namespace vesk
