#include "discovery/discovery.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "discovery/init_report.h"
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
    std::uint8_t cmd[proto::commandSize(proto::kCmdSet)];
    plat::SockAddr6 to;
    if (e.socket == plat::kInvalidSocket || !boardDestination(e.boardAddress, to)) return;
    std::uint8_t reply[proto::kSmallReplySize];
    exchange(e.socket, to, cmd, proto::encodeSetHostPort(cmd, port), reply, sizeof reply,
             std::int64_t{kSocketTimeoutMs} * 1000);
}

std::string portText(std::uint16_t port) { return "UDP port " + std::to_string(port) + " on this computer"; }
const char* const kCloseOther = "Close the other program (perhaps another player using the boards) and try again.";

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

plat::Socket openBoundSocket(const std::string& host, std::uint16_t port, bool* inUse) {
    constexpr int kProtectionLevelRestricted = 30;
    if (inUse) *inUse = false;
    for (const auto& addr : plat::resolvePassive(host, port)) {
        plat::Socket s = plat::udp6Socket();
        if (s == plat::kInvalidSocket) continue;
        if (plat::setV6Only(s, true) && plat::setProtectionLevel(s, kProtectionLevelRestricted) &&
            plat::setReuseAddr(s, true) && plat::setRecvTimeoutMs(s, kSocketTimeoutMs)) {
            const plat::BindStatus bound = plat::bindSocketStatus(s, addr);
            if (bound == plat::BindStatus::Bound) return s;
            if (bound == plat::BindStatus::InUse && inUse) *inUse = true;
        }
        plat::closeSocket(s);
    }
    return plat::kInvalidSocket;
}

void discoverBoards(std::vector<LinkEntry>& links, InitReport* report) {
    using Clock = std::chrono::steady_clock;
    std::uint8_t sync[proto::commandSize(proto::kCmdSync)];
    proto::encodeSync(sync);
    plat::SockAddr6 group;
    plat::textToAddr("ff02::1", group.addr);
    group.port = proto::kBoardPort;
    const bool anyAddress =
        std::any_of(links.begin(), links.end(), [](const LinkEntry& l) { return !l.localAddress.empty(); });
    std::size_t searched = 0;  // links the call went out on

    for (auto& link : links) {
        bool inUse = false;
        plat::Socket s = openBoundSocket(link.localAddress, proto::kBoardPort, &inUse);
        const std::string where = "the network connection " + link.localAddress;
        if (s == plat::kInvalidSocket) {
            // A link without an address is the reason below, once, not one
            // line per adapter.
            if (report && !link.localAddress.empty())
                report->add("Could not look for boards on " + where + ": " + portText(proto::kBoardPort) +
                            (inUse ? std::string(" is in use by another program. ") + kCloseOther
                                   : " could not be opened."));
            continue;
        }
        if (plat::sendTo(s, sync, sizeof sync, group) >= 0)
            ++searched;
        else if (report && !link.localAddress.empty())
            report->add("Could not send the search for boards on " + where +
                        ". Check that the cable is plugged in or the Wi-Fi is connected.");
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
        plat::logLine("search on link " + (link.localAddress.empty() ? "(no address)" : link.localAddress) + ": " +
                      std::to_string(link.boards.size()) + " answer(s)");
    }
    std::size_t answered = 0;
    for (const auto& link : links) answered += link.boards.size();
    if (report && !anyAddress)
        report->add("No wired or Wi-Fi network connection of this computer has an IPv6 link-local address "
                    "(fe80::...), so no board can be reached. Check that the cable is plugged in or the Wi-Fi is "
                    "connected, and that IPv6 is turned on for the connection.");
    else if (report && answered == 0 && searched > 0)
        report->add("Looked for boards on " + std::to_string(searched) + " network connection" +
                    (searched == 1 ? "" : "s") +
                    ", but no board answered. Check that the boards are switched on and connected to the same "
                    "network as this computer, and that no firewall blocks UDP port " +
                    std::to_string(proto::kBoardPort) + ".");
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

void assignHostPorts(std::list<BoardEndpoint>& endpoints, InitReport* report) {
    std::uint16_t port = proto::kBoardPort;
    for (auto& e : endpoints) {
        bool inUse = false;
        e.socket = openBoundSocket(e.localAddress, port, &inUse);
        plat::logLine("board " + e.boardAddress + ": host port " + std::to_string(port) +
                      (e.socket == plat::kInvalidSocket ? " could not be opened" : ""));
        if (e.socket == plat::kInvalidSocket && report)
            report->add("The board at " + e.boardAddress + " cannot be used: " + portText(port) +
                        (inUse ? std::string(", which it needs, is in use by another program. ") + kCloseOther
                               : ", which it needs, could not be opened."));
        e.hostPort = port;
        sendSetHostPort(e, port);
        ++port;
    }
}

void reportMissingTargets(const std::vector<LinkEntry>& links, const std::vector<std::string>& targets,
                          InitReport& report) {
    // No board answered at all: that reason is already given, once.
    if (links.empty()) return;
    for (const auto& target : targets) {
        bool found = false;
        for (const auto& link : links)
            found = found || std::find(link.boards.begin(), link.boards.end(), target) != link.boards.end();
        if (!found)
            report.add("The board " + target + " named in vesk_config.toml did not answer the search.");
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
