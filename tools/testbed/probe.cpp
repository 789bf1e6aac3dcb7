// vesk_probe: a minimal host for the test bed, built natively and for
// Windows (run under Wine). On every Ethernet or wireless link it sends the
// discovery sync to ff02::1, lists the boards that answer, asks each for its
// name and slot count, and measures sync round trips.
//
//   vesk_probe [--rtt N] [--flood N]
//   vesk_probe --help
//
// --flood N sends N datagrams of 100 register writes each (700 bytes) to
// every board as fast as it can, then a sync, and reports how long the
// board took to have them all.
//
// Output, one line each:
//   link <host address> boards <count>
//   board <address> via <host address> name=<name> slots=<n>
//   rtt <address> n=<N> lost=<k> min_us=.. median_us=.. p99_us=.. max_us=..
//   flood <address> datagrams=<N> bytes=<b> ms=<t> synced=<0|1>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "transport/protocol.h"

namespace plat = vesk::plat;
namespace proto = vesk::proto;

namespace {

plat::Socket openOn(const std::string& host, std::uint16_t port) {
    for (const auto& a : plat::resolvePassive(host, port)) {
        plat::Socket s = plat::udp6Socket();
        if (s == plat::kInvalidSocket) continue;
        if (plat::setV6Only(s, true) && plat::setReuseAddr(s, true) && plat::setRecvTimeoutMs(s, 200) &&
            plat::bindSocket(s, a))
            return s;
        plat::closeSocket(s);
    }
    return plat::kInvalidSocket;
}

plat::SockAddr6 boardAddr(const std::string& text) {
    plat::SockAddr6 a;
    plat::textToAddr(text, a.addr);
    a.port = proto::kBoardPort;
    return a;
}

// One request, one receive (as the library's queries do). Empty on time-out.
std::vector<std::uint8_t> ask(plat::Socket s, const std::string& board, const std::uint8_t* req, unsigned length) {
    plat::sendTo(s, req, length, boardAddr(board));
    std::vector<std::uint8_t> buf(256);
    plat::RecvResult r = plat::recvFrom(s, buf.data(), buf.size());
    if (r.status != plat::RecvStatus::Ok) return {};
    buf.resize(r.length);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    int rttCount = 200, flood = 0;
    const char* kUsage = "usage: vesk_probe [--rtt N] [--flood N]\n";
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--rtt") && i + 1 < argc) {
            rttCount = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--flood") && i + 1 < argc) {
            flood = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "vesk_probe: unknown argument %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (!plat::netStartup()) {
        std::printf("error network start-up\n");
        return 1;
    }
    std::vector<std::string> hosts;
    for (const auto& ad : plat::listAdapters()) {
        if (ad.ifType != plat::kIfTypeEthernet && ad.ifType != plat::kIfTypeIeee80211) continue;
        std::string ll;
        for (const auto& u : ad.unicast)
            if (u.find("fe80:") != std::string::npos) ll = u;
        if (!ll.empty()) hosts.push_back(ll);
    }
    std::sort(hosts.begin(), hosts.end());

    std::uint16_t port = proto::kBoardPort;
    for (const auto& host : hosts) {
        plat::Socket s = openOn(host, port++);
        if (s == plat::kInvalidSocket) {
            std::printf("link %s error bind\n", host.c_str());
            continue;
        }
        plat::SockAddr6 group;
        plat::textToAddr("ff02::1", group.addr);
        group.port = proto::kBoardPort;
        std::uint8_t sync[proto::commandSize(proto::kCmdSync)];
        proto::encodeSync(sync);
        plat::sendTo(s, sync, sizeof sync, group);
        std::vector<std::string> boards;
        for (;;) {
            std::uint8_t buf[16];
            plat::RecvResult r = plat::recvFrom(s, buf, sizeof buf);
            if (r.status == plat::RecvStatus::TimedOut) break;
            if (r.status != plat::RecvStatus::Ok) continue;
            if (r.length <= 4 && std::memcmp(buf, proto::kSyncReply, r.length) == 0)
                boards.push_back(plat::addrToText(r.from.addr));
        }
        std::sort(boards.begin(), boards.end());
        std::printf("link %s boards %zu\n", host.c_str(), boards.size());
        for (const auto& b : boards) {
            std::uint8_t query[proto::commandSize(proto::kCmdQuery)];
            auto name = ask(s, b, query, proto::encodeQuery(query, 0, proto::kBoardItemName));
            auto slots = ask(s, b, query, proto::encodeQuery(query, 0, proto::kBoardItemSlotCount));
            std::string n = name.size() > 4 ? std::string(name.begin() + 4, name.end()) : "";
            int count = slots.size() > 4 ? slots[4] : -1;
            std::printf("board %s via %s name=%s slots=%d\n", b.c_str(), host.c_str(), n.c_str(), count);

            std::vector<double> us;
            int lost = 0;
            for (int i = 0; i < rttCount; ++i) {
                auto t0 = std::chrono::steady_clock::now();
                auto reply = ask(s, b, sync, sizeof sync);
                auto t1 = std::chrono::steady_clock::now();
                if (reply.size() == 4 && std::memcmp(reply.data(), proto::kSyncReply, 4) == 0)
                    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                else
                    ++lost;
            }
            if (!us.empty()) {
                std::sort(us.begin(), us.end());
                std::printf("rtt %s n=%zu lost=%d min_us=%.0f median_us=%.0f p99_us=%.0f max_us=%.0f\n", b.c_str(),
                            us.size(), lost, us.front(), us[us.size() / 2], us[(us.size() * 99) / 100], us.back());
            } else if (rttCount > 0) {
                std::printf("rtt %s n=0 lost=%d\n", b.c_str(), lost);
            }
            if (flood > 0) {
                std::vector<std::uint8_t> batch(100 * proto::commandSize(proto::kCmdWriteReg));
                for (int k = 0; k < 100; ++k)
                    proto::encodeWriteReg(&batch[k * proto::commandSize(proto::kCmdWriteReg)], 0x00,
                                          static_cast<std::uint8_t>(k), 0x55, 0, 0);
                auto t0 = std::chrono::steady_clock::now();
                for (int k = 0; k < flood; ++k) plat::sendTo(s, batch.data(), batch.size(), boardAddr(b));
                plat::sendTo(s, sync, sizeof sync, boardAddr(b));
                bool synced = false;
                for (int tries = 0; tries < 25 && !synced; ++tries) {
                    std::uint8_t buf[16];
                    plat::RecvResult r = plat::recvFrom(s, buf, sizeof buf);
                    synced = r.status == plat::RecvStatus::Ok && r.length == 4 &&
                             std::memcmp(buf, proto::kSyncReply, 4) == 0;
                }
                double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
                std::printf("flood %s datagrams=%d bytes=%zu ms=%.1f synced=%d\n", b.c_str(), flood,
                            static_cast<std::size_t>(flood) * batch.size(), ms, synced ? 1 : 0);
            }
        }
        plat::closeSocket(s);
    }
    plat::netCleanup();
    return 0;
}
