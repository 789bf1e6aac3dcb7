// A recording stand-in for a board's transport: every push and request is
// logged on its board, and requests are answered from a script.
#ifndef VESK_TESTS_SUPPORT_FAKE_BOARD_LINK_H
#define VESK_TESTS_SUPPORT_FAKE_BOARD_LINK_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "transport/board_link.h"

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
    // reply". Without a script, kCmdReset and kCmdSync get their OK replies
    // (unless silent) and everything else no reply.
    std::map<std::uint8_t, std::deque<Bytes>> script;
    bool silent = false;
    bool discardPushes = false;  // keep no record of pushes (nothing allocated)

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

// A link to the given board address with the given buffer size (the chips
// take half of it as their sync threshold).
class FakeBoardLink final : public BoardLink {
public:
    explicit FakeBoardLink(const std::string& boardAddress, std::uint32_t bufferSize = 1024);

    Board& board() { return board_; }
    // False while a chip holds keep-alives back.
    bool keepAlivesEnabled() const { return keepAlivesEnabled_.load(); }

    void push(const std::uint8_t* bytes, std::uint32_t length) override;
    std::uint32_t request(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                          std::uint32_t capacity, std::uint32_t extraSeconds) override;
    std::uint32_t getBufferSize() const override { return bufferSize_; }
    const char* address() const override { return address_.c_str(); }
    void holdKeepAlives(bool hold) override { keepAlivesEnabled_.store(!hold); }

private:
    Board board_;
    std::string address_;
    std::uint32_t bufferSize_;
    std::atomic<bool> keepAlivesEnabled_{true};
};

}  // namespace vesk::fake

#endif  // VESK_TESTS_SUPPORT_FAKE_BOARD_LINK_H
