#include "fake_board_link.h"

#include <cstring>

#include "transport/protocol.h"

namespace vesk::fake {

FakeBoardLink::FakeBoardLink(const std::string& boardAddress, std::uint32_t bufferSize)
    : address_(boardAddress.substr(0, 64)), bufferSize_(bufferSize) {}

void FakeBoardLink::push(const std::uint8_t* bytes, std::uint32_t length) {
    std::lock_guard<std::mutex> lock(board_.mutex);
    if (!board_.discardPushes) board_.log.push_back({false, Bytes(bytes, bytes + length), 0, 0});
}

std::uint32_t FakeBoardLink::request(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                                     std::uint32_t capacity, std::uint32_t extraSeconds) {
    std::lock_guard<std::mutex> lock(board_.mutex);
    board_.log.push_back({true, Bytes(command, command + length), capacity, extraSeconds});
    const std::uint8_t code = length > 1 ? command[1] : 0xFF;
    Bytes answer;
    auto scripted = board_.script.find(code);
    if (scripted != board_.script.end() && !scripted->second.empty()) {
        answer = std::move(scripted->second.front());
        scripted->second.pop_front();
    } else if (!board_.silent && code == proto::kCmdReset) {
        answer.assign(proto::kResetReply, proto::kResetReply + 4);
    } else if (!board_.silent && code == proto::kCmdSync) {
        answer.assign(proto::kSyncReply, proto::kSyncReply + 4);
    }
    // A datagram longer than the buffer is a receive error, as on the wire.
    if (answer.empty() || answer.size() > capacity) return 0;
    std::memcpy(reply, answer.data(), answer.size());
    return static_cast<std::uint32_t>(answer.size());
}

}  // namespace vesk::fake
