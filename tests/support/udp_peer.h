// A stand-in board for the transport suites and benchmarks: a UDP socket on
// [::1]:50003 that records every datagram with its arrival time and answers
// syncs (03 80 57 50) when told to.
#ifndef VESK_TESTS_SUPPORT_UDP_PEER_H
#define VESK_TESTS_SUPPORT_UDP_PEER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "transport/protocol.h"

namespace vesk::testing {

using Clock = std::chrono::steady_clock;

struct Datagram {
    Clock::time_point at;
    std::vector<std::uint8_t> bytes;
};

inline plat::SockAddr6 loopback(std::uint16_t port) {
    plat::SockAddr6 a;
    a.addr[15] = 1;
    a.port = port;
    return a;
}

// A socket bound to [::1]:<ephemeral> for the transport under test, with the
// 200 ms receive time-out the library's board sockets carry.
// kInvalidSocket when IPv6 loopback is missing.
inline plat::Socket hostSocket() {
    plat::Socket s = plat::udp6Socket();
    if (s == plat::kInvalidSocket) return s;
    if (!plat::bindSocket(s, loopback(0))) {
        plat::closeSocket(s);
        return plat::kInvalidSocket;
    }
    plat::setRecvTimeoutMs(s, 200);
    return s;
}

class UdpPeer {
public:
    // Called on the peer's thread for each datagram instead of recording it.
    using Handler = std::function<void(const std::uint8_t* data, std::size_t length, Clock::time_point at)>;

    UdpPeer() = default;
    ~UdpPeer() { stop(); }

    // Binds [::1]:50003. Other suites on this machine may hold the port for a
    // moment, so a busy port is retried for up to busyWait. Empty on success,
    // else the reason.
    std::string start(std::chrono::seconds busyWait = std::chrono::seconds(30)) {
        socket_ = plat::udp6Socket();
        if (socket_ == plat::kInvalidSocket) return "no IPv6 UDP socket";
        plat::Socket probe = plat::udp6Socket();
        bool loopbackOk = probe != plat::kInvalidSocket && plat::bindSocket(probe, loopback(0));
        if (probe != plat::kInvalidSocket) plat::closeSocket(probe);
        if (!loopbackOk) return "IPv6 loopback ::1 is not available";
        // A board takes bursts of 64 KiB datagrams; so must the stand-in.
        plat::setRecvBufferSize(socket_, 4u << 20);
        auto until = Clock::now() + busyWait;
        while (!plat::bindSocket(socket_, loopback(proto::kBoardPort))) {
            if (Clock::now() > until) return "port 50003 on ::1 stayed busy";
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        running_ = true;
        thread_ = std::thread([this] { run(); });
        return std::string();
    }

    void stop() {
        if (thread_.joinable()) {
            running_ = false;
            thread_.join();
        }
        if (socket_ != plat::kInvalidSocket) {
            plat::closeSocket(socket_);
            socket_ = plat::kInvalidSocket;
        }
    }

    void setHandler(Handler h) {
        std::lock_guard<std::mutex> lock(mutex_);
        handler_ = std::move(h);
    }

    // Called on the peer's thread for each datagram (also recorded); every
    // datagram it returns is sent back to the sender, in order.
    using Responder = std::function<std::vector<std::vector<std::uint8_t>>(const std::uint8_t*, std::size_t)>;
    void setResponder(Responder r) {
        std::lock_guard<std::mutex> lock(mutex_);
        responder_ = std::move(r);
    }

    std::atomic<bool> answerSync{true};
    // Answer slot resets (chips request one when they are created).
    std::atomic<bool> answerReset{false};

    std::vector<Datagram> datagrams() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    // Datagrams longer than one byte (keep-alives left out).
    std::vector<Datagram> batches() {
        std::vector<Datagram> out;
        for (auto& d : datagrams())
            if (d.bytes.size() > 1) out.push_back(d);
        return out;
    }
    std::vector<Clock::time_point> replyTimes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return replies_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.clear();
        replies_.clear();
    }
    // Polls until pred(datagrams()) holds or timeout passes; returns pred's last value.
    bool waitFor(const std::function<bool(const std::vector<Datagram>&)>& pred, std::chrono::milliseconds timeout) {
        auto until = Clock::now() + timeout;
        for (;;) {
            if (pred(datagrams())) return true;
            if (Clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

private:
    static bool hasCode(const std::uint8_t* d, std::size_t n, std::uint8_t code) {
        proto::CommandCursor c(d, static_cast<std::uint32_t>(n));
        const std::uint8_t* cmd;
        std::uint32_t size;
        while (c.next(cmd, size))
            if (size >= 2 && cmd[1] == code) return true;
        return false;
    }

    static bool hasSync(const std::uint8_t* d, std::size_t n) {
        proto::CommandCursor c(d, static_cast<std::uint32_t>(n));
        const std::uint8_t* cmd;
        std::uint32_t size;
        while (c.next(cmd, size))
            if (size == 2 && cmd[1] == proto::kCmdSync) return true;
        return false;
    }

    void run() {
        std::vector<std::uint8_t> buf(70000);
        while (running_) {
            if (plat::waitReadable(socket_, 20000) != plat::WaitStatus::Ready) continue;
            plat::RecvResult r = plat::recvFrom(socket_, buf.data(), buf.size());
            auto at = Clock::now();
            if (r.status != plat::RecvStatus::Ok) continue;
            Handler h;
            Responder respond;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                h = handler_;
                respond = responder_;
                if (!h) log_.push_back(Datagram{at, std::vector<std::uint8_t>(buf.begin(), buf.begin() + r.length)});
            }
            if (h) h(buf.data(), r.length, at);
            if (respond)
                for (auto& reply : respond(buf.data(), r.length))
                    plat::sendTo(socket_, reply.data(), reply.size(), r.from);
            if (answerSync && hasSync(buf.data(), r.length)) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    replies_.push_back(Clock::now());
                }
                plat::sendTo(socket_, proto::kSyncReply, sizeof proto::kSyncReply, r.from);
            }
            if (answerReset && hasCode(buf.data(), r.length, proto::kCmdReset))
                plat::sendTo(socket_, proto::kResetReply, sizeof proto::kResetReply, r.from);
        }
    }

    plat::Socket socket_ = plat::kInvalidSocket;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex mutex_;
    Handler handler_;
    Responder responder_;
    std::vector<Datagram> log_;
    std::vector<Clock::time_point> replies_;
};

}  // namespace vesk::testing

#endif  // VESK_TESTS_SUPPORT_UDP_PEER_H
