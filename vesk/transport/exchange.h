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
#include <cstdint>
#include <mutex>

#include "platform/platform.h"

namespace vesk {

// Receives and drops every datagram already waiting on s. Expects no other
// thread to be receiving on s.
void discardWaiting(plat::Socket s, std::mutex* io = nullptr);

enum class ReplyStatus { Answered, TimedOut, Failed };
struct Reply {
    ReplyStatus status = ReplyStatus::Failed;
    std::uint32_t length = 0;  // bytes copied to the reply buffer when Answered
};

// Receives on s until a datagram from boardAddr answers request, or until
// deadline. The answer is copied to reply; an answer longer than capacity (or
// any answer when reply is null and capacity 0) is Failed, as is a socket the
// readiness wait refuses (at once, not at the deadline). Receive errors are
// skipped (Winsock reports an earlier ICMP error on the next receive). When io
// is given it is held around each receive, never while waiting.
//
// fenced: the request was sent right behind a sync, because an earlier
// request gave up and its reply may still come; some replies (an I2C probe,
// an I2C read) carry nothing that tells whose they are. A board answers in
// order, so an answer that comes after the sync's reply is this request's
// own and is taken at once. One that comes before it is kept, and taken at
// the deadline only if the sync's reply never came (a board that lost or
// delayed just that reply).
Reply awaitReply(plat::Socket s, const std::uint8_t (&boardAddr)[16], const std::uint8_t* request,
                 std::uint32_t requestLength, std::uint8_t* reply, std::uint32_t capacity,
                 std::chrono::steady_clock::time_point deadline, std::mutex* io = nullptr, bool fenced = false);

// One whole exchange with a board that has no transport yet: drops what is
// waiting, sends request to `to`, then awaitReply for at most timeoutUs.
Reply exchange(plat::Socket s, const plat::SockAddr6& to, const std::uint8_t* request, std::uint32_t length,
               std::uint8_t* reply, std::uint32_t capacity, std::int64_t timeoutUs);

}  // namespace vesk

#endif  // VESK_TRANSPORT_EXCHANGE_H
