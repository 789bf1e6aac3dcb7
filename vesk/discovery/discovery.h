// Finding the boards on the host's IPv6 links and giving each a socket and
// a host port of its own.
#ifndef VESK_DISCOVERY_DISCOVERY_H
#define VESK_DISCOVERY_DISCOVERY_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vesk {

class InitReport;

// One board that survived discovery and filtering.
struct BoardEndpoint {
    plat::Socket socket = plat::kInvalidSocket;
    std::string localAddress;  // host link-local address text
    std::string boardAddress;  // board link-local address text
    std::uint16_t hostPort = 0;
};

// Receive time-out of every socket opened here.
constexpr std::uint32_t kSocketTimeoutMs = 200;

// A host link-local address and the boards that answered through it.
struct LinkEntry {
    std::string localAddress;
    std::vector<std::string> boards;
};

// Pure link selection over the adapters in system order: keeps Ethernet and
// 802.11 adapters, takes each one's last address text containing "fe80:"
// (empty when none), drops later adapters whose sorted gateway list equals
// an earlier non-empty one (same routers, same link), and returns the texts
// sorted by byte order.
std::vector<std::string> selectLinks(const std::vector<plat::AdapterInfo>& adapters);

// selectLinks over the system's adapters; empty when enumeration fails.
std::vector<std::string> enumerateLocalLinks();

// True when a datagram received during discovery is an answer: at most 4
// bytes, equal to as many leading bytes of 03 80 57 50 (so an empty one
// counts). Longer datagrams are not answers.
bool isDiscoveryAnswer(const std::uint8_t* data, std::size_t length);

// Sends the sync call to ff02::1 from each link's address and collects the
// answering board addresses until 200 ms pass without a datagram. Removes
// links without boards and sorts each board list by byte order. With a
// report, adds why no board could be found: no link with a link-local
// address, a link whose port 50003 could not be opened (held by another
// program, or otherwise) or whose call could not be sent, and, when no board
// answered at all, on how many links the call went out.
void discoverBoards(std::vector<LinkEntry>& links, InitReport* report = nullptr);

// A UDP socket bound to (host, port) with IPV6_V6ONLY, the restricted
// protection level, SO_REUSEADDR and the 200 ms receive time-out, set in
// that order; kInvalidSocket when no resolved address could be bound, with
// *inUse (when given) true if a bind failed because another socket held
// the port.
plat::Socket openBoundSocket(const std::string& host, std::uint16_t port, bool* inUse = nullptr);

// One endpoint per (link, board), links in order and boards in order.
std::list<BoardEndpoint> buildEndpoints(const std::vector<LinkEntry>& links);

// Keeps only endpoints whose board text is byte-equal to a target; an empty
// target list keeps every endpoint.
void filterEndpoints(std::list<BoardEndpoint>& endpoints, const std::vector<std::string>& targets);

// Gives endpoint i the host port 50003 + i and a socket bound to it, and
// tells each board its port (reply awaited up to 200 ms, not examined). A
// socket that failed to open stays invalid; its sends simply fail, and the
// report (when given) names the board and the port.
void assignHostPorts(std::list<BoardEndpoint>& endpoints, InitReport* report = nullptr);

// With a target list, adds to the report each target that no link's
// discovery found (compared byte for byte, as filterEndpoints does); nothing
// when no board answered at all (discoverBoards says so).
void reportMissingTargets(const std::vector<LinkEntry>& links, const std::vector<std::string>& targets,
                          InitReport& report);

// Sends set-host-port 0 to every board, waits up to 200 ms for a reply and
// closes the sockets.
void withdrawHostPorts(std::list<BoardEndpoint>& endpoints);

// The board's address on port 50003, scope 0; false for a malformed text.
bool boardDestination(const std::string& boardAddress, plat::SockAddr6& to);

}  // namespace vesk

#endif
