#include "discovery/discovery.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "transport/exchange.h"
#include "transport/protocol.h"

namespace vesk {

namespace {

struct AdapterEntry {
    std::string linkLocal;
    std::vector<std::string> gateways;
};

// The echo is waited for (at most the socket time-out) but not examined: a
// board that does not echo still gets its port. Waiting matters all the
// same, since the echo, if it came late, would otherwise sit on the socket.
void sendSetHostPort(const BoardEndpoint& e, std::uint16_t port) {
    std::uint8_t cmd[proto::kSetHostPortSize];
    plat::SockAddr6 to;
    if (e.socket == plat::kInvalidSocket || !boardDestination(e.boardAddress, to)) return;
    std::uint8_t reply[proto::kSmallReplySize];
    exchange(e.socket, to, cmd, proto::encodeSetHostPort(cmd, port), reply, sizeof reply,
             std::int64_t{kSocketTimeoutMs} * 1000);
}

}  // namespace

std::vector<std::string> selectLinks(const std::vector<plat::AdapterInfo>& adapters) {
    std::vector<AdapterEntry> entries;
    for (const auto& a : adapters) {
        if (a.ifType != plat::kIfTypeEthernet && a.ifType != plat::kIfTypeIeee80211) continue;
        AdapterEntry e;
        for (const auto& text : a.unicast)
            if (text.find("fe80:") != std::string::npos) e.linkLocal = text;
        e.gateways = a.gateways;
        std::sort(e.gateways.begin(), e.gateways.end());
        entries.push_back(std::move(e));
    }
    // Adapters that see the same routers are on the same link: the first in
    // system order stays. Adapters without gateways are always kept.
    std::vector<AdapterEntry> kept;
    for (auto& e : entries) {
        bool duplicate = !e.gateways.empty() && std::any_of(kept.begin(), kept.end(), [&](const AdapterEntry& k) {
            return !k.gateways.empty() && k.gateways == e.gateways;
        });
        if (!duplicate) kept.push_back(std::move(e));
    }
    std::vector<std::string> links;
    for (auto& k : kept) links.push_back(std::move(k.linkLocal));
    std::sort(links.begin(), links.end());
    return links;
}

std::vector<std::string> enumerateLocalLinks() { return selectLinks(plat::listAdapters()); }

bool isDiscoveryAnswer(const std::uint8_t* data, std::size_t length) {
    return length <= sizeof proto::kSyncReply && std::memcmp(data, proto::kSyncReply, length) == 0;
}

bool boardDestination(const std::string& boardAddress, plat::SockAddr6& to) {
    to = plat::SockAddr6();
    to.port = proto::kBoardPort;
    return plat::textToAddr(boardAddress, to.addr);
}

plat::Socket openBoundSocket(const std::string& host, std::uint16_t port) {
    constexpr int kProtectionLevelRestricted = 30;
    for (const auto& addr : plat::resolvePassive(host, port)) {
        plat::Socket s = plat::udp6Socket();
        if (s == plat::kInvalidSocket) continue;
        if (plat::setV6Only(s, true) && plat::setProtectionLevel(s, kProtectionLevelRestricted) &&
            plat::setReuseAddr(s, true) && plat::setRecvTimeoutMs(s, kSocketTimeoutMs) && plat::bindSocket(s, addr))
            return s;
        plat::closeSocket(s);
    }
    return plat::kInvalidSocket;
}

void discoverBoards(std::vector<LinkEntry>& links) {
    using Clock = std::chrono::steady_clock;
    std::uint8_t sync[proto::kSyncSize];
    proto::encodeSync(sync);
    plat::SockAddr6 group;
    plat::textToAddr("ff02::1", group.addr);
    group.port = proto::kBoardPort;

    for (auto& link : links) {
        plat::Socket s = openBoundSocket(link.localAddress, proto::kBoardPort);
        if (s == plat::kInvalidSocket) continue;
        plat::sendTo(s, sync, sizeof sync, group);
        // Answers are collected for the socket time-out from the sync, not
        // until the link has been quiet that long: unrelated traffic to the
        // port would otherwise keep discovery going for ever.
        const auto end = Clock::now() + std::chrono::milliseconds(kSocketTimeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
            if (left <= 0 || plat::waitReadable(s, left) != plat::WaitStatus::Ready) break;
            std::uint8_t buf[16];
            plat::RecvResult r = plat::recvFrom(s, buf, sizeof buf);
            if (r.status != plat::RecvStatus::Ok) continue;  // errors and oversized datagrams are ignored
            if (isDiscoveryAnswer(buf, r.length)) link.boards.push_back(plat::addrToText(r.from.addr));
        }
        plat::closeSocket(s);
    }
    links.erase(std::remove_if(links.begin(), links.end(), [](const LinkEntry& l) { return l.boards.empty(); }),
                links.end());
    // A board that answered twice (a repeated multicast, a duplicated frame)
    // is still one board: two endpoints would give it two host ports.
    for (auto& link : links) {
        std::sort(link.boards.begin(), link.boards.end());
        link.boards.erase(std::unique(link.boards.begin(), link.boards.end()), link.boards.end());
    }
}

std::list<BoardEndpoint> buildEndpoints(const std::vector<LinkEntry>& links) {
    std::list<BoardEndpoint> out;
    for (const auto& link : links)
        for (const auto& board : link.boards) {
            BoardEndpoint e;
            e.localAddress = link.localAddress;
            e.boardAddress = board;
            out.push_back(std::move(e));
        }
    return out;
}

void filterEndpoints(std::list<BoardEndpoint>& endpoints, const std::vector<std::string>& targets) {
    if (targets.empty()) return;
    endpoints.remove_if([&](const BoardEndpoint& e) {
        return std::find(targets.begin(), targets.end(), e.boardAddress) == targets.end();
    });
}

void assignHostPorts(std::list<BoardEndpoint>& endpoints) {
    std::uint16_t port = proto::kBoardPort;
    for (auto& e : endpoints) {
        e.socket = openBoundSocket(e.localAddress, port);
        e.hostPort = port;
        sendSetHostPort(e, port);
        ++port;
    }
}

void withdrawHostPorts(std::list<BoardEndpoint>& endpoints) {
    for (auto& e : endpoints) {
        sendSetHostPort(e, 0);
        plat::closeSocket(e.socket);
        e.socket = plat::kInvalidSocket;
    }
}

}  // namespace vesk
