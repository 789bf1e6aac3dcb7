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

void discardWaiting(plat::Socket s, std::mutex* io) {
    std::uint8_t buf[kReceiveBytes];
    // Bounded, so that a peer flooding the socket cannot keep us here.
    for (int i = 0; i < 4096 && plat::waitReadable(s, 0) == plat::WaitStatus::Ready; ++i) {
        plat::RecvResult r = underLock(io, [&] { return plat::recvFrom(s, buf, sizeof buf); });
        if (r.status == plat::RecvStatus::TimedOut) return;
    }
}

Reply awaitReply(plat::Socket s, const std::uint8_t (&boardAddr)[16], const std::uint8_t* request,
                 std::uint32_t requestLength, std::uint8_t* reply, std::uint32_t capacity,
                 std::chrono::steady_clock::time_point deadline, std::mutex* io, bool fenced) {
    using namespace std::chrono;
    std::uint8_t buf[kReceiveBytes];
    std::uint32_t kept = 0;  // an answer that came before the fence's reply
    bool fenceSeen = !fenced;
    auto take = [&](const std::uint8_t* answer, std::uint32_t length) -> Reply {
        if (!reply || length > capacity) return {ReplyStatus::Failed, 0};
        std::memcpy(reply, answer, length);
        return {ReplyStatus::Answered, length};
    };
    std::uint8_t keptBytes[kReceiveBytes];
    for (;;) {
        const std::int64_t leftUs = duration_cast<microseconds>(deadline - steady_clock::now()).count();
        plat::WaitStatus ready = leftUs > 0 ? plat::waitReadable(s, leftUs) : plat::WaitStatus::TimedOut;
        if (ready == plat::WaitStatus::Error) return {ReplyStatus::Failed, 0};
        if (ready == plat::WaitStatus::TimedOut) return kept ? take(keptBytes, kept) : Reply{ReplyStatus::TimedOut, 0};
        plat::RecvResult r = underLock(io, [&] { return plat::recvFrom(s, buf, sizeof buf); });
        if (r.status != plat::RecvStatus::Ok) continue;
        if (std::memcmp(r.from.addr, boardAddr, sizeof boardAddr) != 0) continue;
        const auto length = static_cast<std::uint32_t>(r.length);
        if (!fenceSeen && proto::isSyncReply(buf, length)) {
            fenceSeen = true;
            continue;
        }
        if (!proto::answers(request, requestLength, buf, length)) continue;
        if (fenceSeen) return take(buf, length);
        std::memcpy(keptBytes, buf, length);
        kept = length;
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
