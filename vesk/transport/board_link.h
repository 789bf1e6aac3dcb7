// BoardLink: what the chips and the manager's chip access need of a board's
// transport. BoardTransport (board_transport.h) is the one implementation in
// the library; the chip tests put a recording stand-in in its place.
//
// Callers: any thread may push or request (the tray's dialogs do while the
// host writes). Pushes are serialised with each other, requests with each
// other: one request at a time is outstanding per board.
#ifndef VESK_TRANSPORT_BOARD_LINK_H
#define VESK_TRANSPORT_BOARD_LINK_H

#include <cstdint>

namespace vesk {

class BoardLink {
public:
    virtual ~BoardLink() = default;

    // Queues a command sequence for the board, timed after the previous
    // push as the host made them, or, inside a host write whose thread gave
    // its writes a time (transport/write_time.h), at that time, never before
    // the previous push. Returns at once unless the board's buffer is full
    // (overload only) or the time is more than the latency ahead (it waits
    // until it is within it). No allocation.
    virtual void push(const std::uint8_t* bytes, std::uint32_t length) = 0;

    // Sends command after everything pushed before it and waits for the
    // board's answer to it, at most the board's latency (capped) + 500 ms +
    // extraSeconds. Returns the answer's length; 0 on time-out, on an answer
    // longer than capacity and on an unusable link. Keep-alives are held
    // back while it waits. A second caller waits for the first exchange.
    virtual std::uint32_t request(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                                  std::uint32_t capacity, std::uint32_t extraSeconds) = 0;

    // The board's buffer in bytes, as the board reported it.
    virtual std::uint32_t getBufferSize() const = 0;
    // The board's address: standard IPv6 text, zero-terminated, at most 64
    // characters.
    virtual const char* address() const = 0;
    // While held, no keep-alive goes out: a long exchange of its own (a
    // sample-memory stream) must not be interleaved with them.
    virtual void holdKeepAlives(bool hold) = 0;
};

}  // namespace vesk

#endif  // VESK_TRANSPORT_BOARD_LINK_H
