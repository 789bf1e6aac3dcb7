#include "transport/exchange.h"

#include <cstring>

#include "transport/protocol.h"

namespace vesk {

namespace {

// Larger than any reply (L is one byte); a bigger datagram is nobody's answer.
constexpr std::size_t kReceiveBytes = 1024;

template <typename F>
auto underLock(std::mutex* io, F&& f) {
    if (!io) return f();
    std::lock_guard<std::mutex> lock(*io);
    return f();
}

}  // namespace

void OwedReplies::add(const std::uint8_t* request, std::uint32_t length, Clock::time_point now) {
    Entry e;
    e.length = length < sizeof e.request ? length : static_cast<std::uint32_t>(sizeof e.request);
    std::memcpy(e.request, request, e.length);
    e.until = now + kOwedWindow;
    if (count_ == kMaxEntries) {  // the oldest goes
        for (std::size_t i = 1; i < count_; ++i) entries_[i - 1] = entries_[i];
        --count_;
    }
    entries_[count_++] = e;
}

bool OwedReplies::consume(const std::uint8_t* reply, std::uint32_t length, Clock::time_point now) {
    std::size_t kept = 0;
    bool paid = false;
    for (std::size_t i = 0; i < count_; ++i) {
        const Entry& e = entries_[i];
        if (e.until <= now) continue;  // lapsed: its reply was lost
        if (!paid && proto::answers(e.request, e.length, reply, length)) {
            paid = true;
            continue;
        }
        entries_[kept++] = e;
    }
    count_ = kept;
    return paid;
}

void discardWaiting(plat::Socket s, std::mutex* io, const std::uint8_t* boardAddr, OwedReplies* owed) {
    std::uint8_t buf[kReceiveBytes];
    // Bounded, so that a peer flooding the socket cannot keep us here.
    for (int i = 0; i < 4096 && plat::waitReadable(s, 0) == plat::WaitStatus::Ready; ++i) {
        plat::RecvResult r = underLock(io, [&] { return plat::recvFrom(s, buf, sizeof buf); });
        if (r.status == plat::RecvStatus::TimedOut) return;
        if (r.status == plat::RecvStatus::Ok && owed && boardAddr && std::memcmp(r.from.addr, boardAddr, 16) == 0)
            owed->consume(buf, static_cast<std::uint32_t>(r.length), std::chrono::steady_clock::now());
    }
}

Reply awaitReply(plat::Socket s, const std::uint8_t (&boardAddr)[16], const std::uint8_t* request,
                 std::uint32_t requestLength, std::uint8_t* reply, std::uint32_t capacity,
                 std::chrono::steady_clock::time_point deadline, std::mutex* io, OwedReplies* owed,
                 std::chrono::steady_clock::time_point promptUntil) {
    using namespace std::chrono;
    std::uint8_t buf[kReceiveBytes];
    // Past the deadline, what the system already holds is still looked
    // through, without waiting: a reply that came in time while this thread
    // was not scheduled (a loaded machine) is in time. Bounded, so that a
    // stream of strays cannot hold the caller.
    int lateLooks = 64;
    for (;;) {
        const std::int64_t leftUs = duration_cast<microseconds>(deadline - steady_clock::now()).count();
        if (leftUs <= 0 && lateLooks-- == 0) return {ReplyStatus::TimedOut, 0};
        plat::WaitStatus ready = plat::waitReadable(s, leftUs > 0 ? leftUs : 0);
        if (ready == plat::WaitStatus::Error) return {ReplyStatus::Failed, 0};
        if (ready == plat::WaitStatus::TimedOut) return {ReplyStatus::TimedOut, 0};
        plat::RecvResult r = underLock(io, [&] { return plat::recvFrom(s, buf, sizeof buf); });
        if (r.status != plat::RecvStatus::Ok) continue;
        if (std::memcmp(r.from.addr, boardAddr, sizeof boardAddr) != 0) continue;
        const auto length = static_cast<std::uint32_t>(r.length);
        const auto now = steady_clock::now();
        if (!proto::answers(request, requestLength, buf, length)) {
            if (owed) owed->consume(buf, length, now);
            continue;
        }
        // A matching answer that comes in the board's usual time is this
        // request's own; a later one pays what is owed first.
        if (owed && now > promptUntil && owed->consume(buf, length, now)) continue;
        if (!reply || length > capacity) return {ReplyStatus::Failed, 0};
        std::memcpy(reply, buf, length);
        return {ReplyStatus::Answered, length};
    }
}

Reply exchange(plat::Socket s, const plat::SockAddr6& to, const std::uint8_t* request, std::uint32_t length,
               std::uint8_t* reply, std::uint32_t capacity, std::int64_t timeoutUs) {
    if (s == plat::kInvalidSocket) return {};
    discardWaiting(s);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
    if (plat::sendTo(s, request, length, to) < 0) return {};
    return awaitReply(s, to.addr, request, length, reply, capacity, deadline);
}

}  // namespace vesk
