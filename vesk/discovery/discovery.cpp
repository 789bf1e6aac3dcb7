#include "discovery/discovery.h"

#include <algorithm>
#include <cstring>

#include "transport/protocol.h"

namespace vesk {

namespace {

struct AdapterEntry {
    std::string linkLocal;
    std::vector<std::string> gateways;
};

void sendSetHostPort(const BoardEndpoint& e, std::uint16_t port) {
    const std::uint8_t cmd[6] = {0x05, proto::CMD_SET, 0x00, proto::kSetItemHostPort,
                                 static_cast<std::uint8_t>(port & 0xFF), static_cast<std::uint8_t>(port >> 8)};
    plat::SockAddr6 to;
    if (e.socket == plat::kInvalidSocket || !boardDestination(e.boardAddress, to)) return;
    plat::sendTo(e.socket, cmd, sizeof cmd, to);
    std::uint8_t reply[16];
    plat::recvFrom(e.socket, reply, sizeof reply);  // bounded by the socket's 200 ms; not examined
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
    static const std::uint8_t kSync[2] = {0x01, proto::CMD_SYNC};
    plat::SockAddr6 group;
    plat::textToAddr("ff02::1", group.addr);
    group.port = proto::kBoardPort;

    for (auto& link : links) {
        plat::Socket s = openBoundSocket(link.localAddress, proto::kBoardPort);
        if (s == plat::kInvalidSocket) continue;
        plat::sendTo(s, kSync, sizeof kSync, group);
        for (;;) {
            std::uint8_t buf[16];
            plat::RecvResult r = plat::recvFrom(s, buf, sizeof buf);
            if (r.status == plat::RecvStatus::TimedOut) break;
            if (r.status != plat::RecvStatus::Ok) continue;  // other errors are ignored
            if (isDiscoveryAnswer(buf, r.length)) link.boards.push_back(plat::addrToText(r.from.addr));
        }
        plat::closeSocket(s);
    }
    links.erase(std::remove_if(links.begin(), links.end(), [](const LinkEntry& l) { return l.boards.empty(); }),
                links.end());
    for (auto& link : links) std::sort(link.boards.begin(), link.boards.end());
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
