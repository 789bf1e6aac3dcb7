// A recording stand-in for the board transport: every push and request is
// logged per transport, and requests are answered from a script.
#ifndef VESK_TESTS_CHIPS_FAKE_SOCKET_IF_H
#define VESK_TESTS_CHIPS_FAKE_SOCKET_IF_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/board_transport.h"

namespace vesk::fake {

using Bytes = std::vector<std::uint8_t>;

struct Exchange {
    bool isRequest = false;
    Bytes bytes;
    std::uint32_t capacity = 0;      // requests only
    std::uint32_t extraSeconds = 0;  // requests only
};

// What a fake board does. All members are guarded by mutex (pushes may come
// from other threads than the test's).
struct Board {
    std::mutex mutex;
    std::vector<Exchange> log;
    // Scripted replies by command code, used first; an empty Bytes is "no
    // reply". Without a script, CMD_RESET and CMD_SYNC get their OK replies
    // (unless silent) and everything else no reply.
    std::map<std::uint8_t, std::deque<Bytes>> script;
    bool silent = false;
    bool discardPushes = false;  // keep no record of pushes (nothing allocated)
    std::uint32_t bufferSize = 0;

    std::vector<Exchange> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        log.clear();
    }
    void answer(std::uint8_t code, Bytes reply) {
        std::lock_guard<std::mutex> lock(mutex);
        script[code].push_back(std::move(reply));
    }
};

// The board behind a transport made by makeTransport.
Board& boardOf(const BoardTransport* transport);

// A transport for the given board address and buffer size (the chips take
// half of it as their sync threshold).
std::unique_ptr<BoardTransport> makeTransport(const std::string& boardAddress, std::uint32_t bufferSize = 1024);

}  // namespace vesk::fake

#endif  // VESK_TESTS_CHIPS_FAKE_SOCKET_IF_H
