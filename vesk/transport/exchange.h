// Request and reply on a board's socket. The transport uses these for its
// requests; start-up uses them before a board has a transport (set host
// port, board and slot queries).
//
// A reply is taken only when it comes from the board's own address and
// answers the request (proto::answers): datagrams that were already waiting
// when the request was sent, late replies to requests that gave up, and
// datagrams from anybody else are received and dropped.
#ifndef VESK_TRANSPORT_EXCHANGE_H
#define VESK_TRANSPORT_EXCHANGE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"

namespace vesk {

// Replies still owed to requests that gave up. Boards answer late but they
// do answer, and some replies (an I2C probe, an I2C read, a sync, a reset)
// carry nothing that tells whose they are: a matching datagram that comes
// later than a board answers is taken as the owed reply, not as the answer to
// a later request (see awaitReply). An entry
// lapses kOwedWindow after its request gave up, so a reply that was lost
// costs later exchanges nothing after that. Not thread-safe: the transport
// uses it under its request mutex.
class OwedReplies {
public:
    static constexpr std::chrono::milliseconds kOwedWindow{3000};
    using Clock = std::chrono::steady_clock;

    void add(const std::uint8_t* request, std::uint32_t length, Clock::time_point now);
    // True, and the entry gone, when reply answers an owed request.
    bool consume(const std::uint8_t* reply, std::uint32_t length, Clock::time_point now);

private:
    struct Entry {
        std::uint8_t request[8] = {};  // enough for every matching rule
        std::uint32_t length = 0;
        Clock::time_point until;
    };
    static constexpr std::size_t kMaxEntries = 8;
    Entry entries_[kMaxEntries];
    std::size_t count_ = 0;
};

// Receives and drops every datagram already waiting on s. Expects no other
// thread to be receiving on s. Datagrams from boardAddr pay off owed replies.
void discardWaiting(plat::Socket s, std::mutex* io = nullptr, const std::uint8_t* boardAddr = nullptr,
                    OwedReplies* owed = nullptr);

enum class ReplyStatus { Answered, TimedOut, Failed };
struct Reply {
    ReplyStatus status = ReplyStatus::Failed;
    std::uint32_t length = 0;  // bytes copied to the reply buffer when Answered
};

// Receives on s until a datagram from boardAddr answers request, or until
// deadline (an answer the system received by then counts, even when this
// thread looks later). The answer is copied to reply; an answer longer than capacity (or
// any answer when reply is null and capacity 0) is Failed, as is a socket the
// readiness wait refuses (at once, not at the deadline). Receive errors are
// skipped (Winsock reports an earlier ICMP error on the next receive). When
// io is given it is held around each receive, never while waiting.
//
// owed: a datagram that answers an owed request pays it off, except that an
// answer to this request arriving by promptUntil (the board's usual reply
// time) is taken as its own: a reply that was lost, not late, then costs no
// later request its answer.
Reply awaitReply(plat::Socket s, const std::uint8_t (&boardAddr)[16], const std::uint8_t* request,
                 std::uint32_t requestLength, std::uint8_t* reply, std::uint32_t capacity,
                 std::chrono::steady_clock::time_point deadline, std::mutex* io = nullptr, OwedReplies* owed = nullptr,
                 std::chrono::steady_clock::time_point promptUntil = std::chrono::steady_clock::time_point::max());

// One whole exchange with a board that has no transport yet: drops what is
// waiting, sends request to `to`, then awaitReply for at most timeoutUs.
Reply exchange(plat::Socket s, const plat::SockAddr6& to, const std::uint8_t* request, std::uint32_t length,
               std::uint8_t* reply, std::uint32_t capacity, std::int64_t timeoutUs);

}  // namespace vesk

#endif  // VESK_TRANSPORT_EXCHANGE_H
