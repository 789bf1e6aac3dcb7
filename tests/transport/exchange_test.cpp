// Waiting for a board's reply on a socket (transport/exchange.h), between
// two sockets on [::1].
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "transport/exchange.h"
#include "transport/protocol.h"
#include "support/udp_peer.h"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using testing::Clock;

// A reply the system already holds when the waiting thread comes to look is
// in time, even if the thread comes after the deadline (it was not
// scheduled, on a loaded machine): only a reply that never came times out.
TEST(AwaitReply, AReplyAlreadyReceivedIsTakenPastTheDeadline) {
    plat::Socket host = testing::hostSocket(), board = plat::udp6Socket();
    if (host == plat::kInvalidSocket || board == plat::kInvalidSocket) GTEST_SKIP() << "no IPv6 loopback";
    // The board on a free port of its own; the host's comes with its first datagram.
    plat::SockAddr6 boardAddr;
    for (std::uint16_t port = 50100; port < 50200; ++port)
        if (plat::bindSocket(board, boardAddr = testing::loopback(port))) break;
    ASSERT_GT(plat::sendTo(host, "?", 1, boardAddr), 0);
    ASSERT_EQ(plat::waitReadable(board, 1000000), plat::WaitStatus::Ready);
    std::uint8_t hello[4];
    const plat::SockAddr6 hostAddr = plat::recvFrom(board, hello, sizeof hello).from;
    std::uint8_t sync[proto::commandSize(proto::kCmdSync)];
    proto::encodeSync(sync);
    const std::uint8_t(&from)[16] = testing::loopback(0).addr;

    struct Case {
        bool replied;
        ReplyStatus expect;
    } cases[] = {{false, ReplyStatus::TimedOut}, {true, ReplyStatus::Answered}};
    for (const Case& c : cases) {
        if (c.replied) {
            ASSERT_GT(plat::sendTo(board, proto::kSyncReply, sizeof proto::kSyncReply, hostAddr), 0);
            ASSERT_EQ(plat::waitReadable(host, 1000000), plat::WaitStatus::Ready);
        }
        std::uint8_t reply[8];
        const Reply r = awaitReply(host, from, sync, sizeof sync, reply, sizeof reply, Clock::now() - 1ms);
        EXPECT_EQ(r.status, c.expect) << "replied " << c.replied;
        if (c.replied) {
            EXPECT_EQ(r.length, sizeof proto::kSyncReply);
        }
    }
    plat::closeSocket(host);
    plat::closeSocket(board);
}

}  // namespace
}  // namespace vesk
