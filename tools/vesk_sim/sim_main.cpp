// vesk_sim: plays boards on this host's links, over real UDP/IPv6.
//
// One socket bound to [::]:50003 receives for every board; the destination
// address and interface of each datagram (IPV6_PKTINFO) say which board it
// is for, and every reply leaves from its board's own address.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim_board.h"
#include "sim_config.h"
#include "sim_record.h"
#include "sim_vgm.h"
#include "transport/protocol.h"
#include "vesk_version.h"

using namespace vesk::sim;

namespace {

volatile sig_atomic_t gStop = 0, gDump = 0, gSilence = 0;
void onSignal(int sig) {
    if (sig == SIGUSR1)
        gDump = 1;
    else if (sig == SIGUSR2)
        gSilence = 1;
    else
        gStop = 1;
}

std::int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000ll + ts.tv_nsec;
}

// When a datagram reached the socket, on nowNs()'s clock: the kernel's stamp
// (wall clock) carried over, or now when there is none. A board takes a
// datagram the moment it arrives; this process may read it milliseconds
// later on a loaded machine (it shares the cores with the host under test,
// and handles the datagram before) and its own delay must not shift the
// board's timeline.
std::int64_t arrivalNs(const timespec* stamp) {
    const std::int64_t now = nowNs();
    if (!stamp) return now;
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    const std::int64_t ago = (wall.tv_sec - stamp->tv_sec) * 1000000000ll + (wall.tv_nsec - stamp->tv_nsec);
    return ago > 0 ? now - ago : now;
}

// Prints the usage to `out`; returns the exit code of a usage error (2), or
// 0 when asked for with --help.
int usage(std::FILE* out = stderr) {
    std::fprintf(out,
                 "usage: vesk_sim --config FILE [--record FILE] [--dump-dir DIR] [--port N]\n"
                 "                [--ready-file FILE] [--add-addresses] [--quiet] [--vgm DIR]\n"
                 "       vesk_sim --check FILE        validate a configuration\n"
                 "       vesk_sim --list-boards FILE  print \"link address name\" per board\n"
                 "       vesk_sim --print RECORD      print a record as text\n"
                 "       vesk_sim --summary RECORD    counts per board, command and slot\n"
                 "       vesk_sim --vgm DIR --config FILE --from-record RECORD\n"
                 "                                    what each board of a record played, as VGM\n"
                 "       vesk_sim --version\n"
                 "       vesk_sim --help\n");
    return out == stderr ? 2 : 0;
}

bool addressOnLink(const std::string& link, const std::array<std::uint8_t, 16>& addr) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET6 || link != i->ifa_name) continue;
        const auto* sa = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
        found = std::memcmp(&sa->sin6_addr, addr.data(), 16) == 0;
    }
    freeifaddrs(list);
    return found;
}

// Adds an address to a link without duplicate address detection, so that it
// is usable at once.
bool addAddress(const std::string& link, const std::string& address) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        std::string a = address + "/64";
        execlp("ip", "ip", "-6", "addr", "add", a.c_str(), "dev", link.c_str(), "nodad", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void dumpState(const std::vector<std::unique_ptr<Board>>& boards, const std::string& dir) {
    if (dir.empty()) return;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        std::string base = dir + "/board" + std::to_string(i);
        std::ofstream(base + "-registers.txt") << boards[i]->dumpRegisters();
        for (const auto& d : boards[i]->config().i2c) {
            if (d.kind != I2cKind::Display) continue;
            char name[32];
            std::snprintf(name, sizeof name, "-display-%02x.pbm", d.address);
            auto* disp = static_cast<Display*>(boards[i]->device(d.address));
            std::ofstream(base + name) << disp->pbm();
        }
        auto* att = dynamic_cast<Attenuator*>(boards[i]->device(0x28));
        if (att) {
            std::ofstream(base + "-attenuator.txt") << "control " << int(att->control()) << "\nlevel0 "
                                                    << int(att->level(0)) << "\nlevel1 " << int(att->level(1)) << "\n";
        }
    }
}

int printRecord(const std::string& path, bool summary) {
    std::vector<RecordEntry> entries;
    std::string error;
    if (!readRecordFile(path, entries, &error)) {
        std::fprintf(stderr, "vesk_sim: %s\n", error.c_str());
        return 1;
    }
    if (summary) {
        std::fputs(formatSummary(summarize(entries)).c_str(), stdout);
    } else {
        for (const auto& e : entries) std::printf("%s\n", formatEntry(e).c_str());
    }
    return 0;
}

// Writes <dir>/board<i>.vgm per board and says what each holds and what
// it left out. False when a file cannot be written.
bool writeVgms(const std::vector<std::unique_ptr<VgmRecorder>>& recorders, const std::string& dir) {
    bool ok = true;
    for (std::size_t i = 0; i < recorders.size(); ++i) {
        std::string path = dir + "/board" + std::to_string(i) + ".vgm";
        std::vector<std::uint8_t> bytes = recorders[i]->file();
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "vesk_sim: %s: cannot be written\n", path.c_str());
            ok = false;
            continue;
        }
        std::ofstream(path + ".times", std::ios::trunc) << recorders[i]->times();
        std::printf("vesk_sim: %s: %lld writes\n", path.c_str(), static_cast<long long>(recorders[i]->writes()));
        for (const auto& l : recorders[i]->leftOut())
            std::printf("vesk_sim: %s: left out %s\n", path.c_str(), l.c_str());
        for (const auto& l : recorders[i]->clockNotes()) std::printf("vesk_sim: %s: %s\n", path.c_str(), l.c_str());
    }
    std::fflush(stdout);
    return ok;
}

// --from-record: the VGM files of a record made earlier. Lines are matched
// to boards by name; with two boards of one name both files get the writes
// of both.
int vgmFromRecord(const std::string& configPath, const std::string& recordPath, const std::string& dir) {
    SimConfig cfg;
    try {
        cfg = loadConfig(configPath);
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "vesk_sim: %s\n", e.what());
        return 2;
    }
    std::vector<RecordEntry> entries;
    std::string error;
    if (!readRecordFile(recordPath, entries, &error)) {
        std::fprintf(stderr, "vesk_sim: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<VgmRecorder>> recorders;
    for (std::size_t i = 0; i < cfg.boards.size(); ++i)
        recorders.push_back(std::make_unique<VgmRecorder>(cfg.boards[i], i));
    BoardCommand c;
    for (const auto& e : entries) {
        if (!commandFromEntry(e, c)) continue;
        for (std::size_t i = 0; i < cfg.boards.size(); ++i)
            if (cfg.boards[i].name == e.str("board")) recorders[i]->add(c);
    }
    return writeVgms(recorders, dir) ? 0 : 1;
}

struct Options {
    std::string config, record, dumpDir, readyFile, vgmDir, fromRecord;
    std::uint16_t port = vesk::proto::kBoardPort;
    bool addAddresses = false, quiet = false;
};

// The options that take a path, and where each goes.
const std::pair<const char*, std::string Options::*> kPathOptions[] = {
    {"--config", &Options::config},        {"--record", &Options::record}, {"--dump-dir", &Options::dumpDir},
    {"--ready-file", &Options::readyFile}, {"--vgm", &Options::vgmDir},    {"--from-record", &Options::fromRecord},
};

// The running simulator: the boards, the links they sit on, the one socket
// and the replies still to be sent.
struct Simulator {
    SimConfig cfg;
    std::vector<unsigned> ifindex;  // by board: its link's interface index
    int fd = -1;
    std::unique_ptr<std::ofstream> record;
    // --vgm: each board's record lines pass through a tap that feeds its
    // recorder on their way to the record file (if any).
    std::vector<std::unique_ptr<VgmRecorder>> recorders;
    std::vector<std::unique_ptr<LineTap>> taps;
    std::vector<std::unique_ptr<std::ostream>> tapStreams;
    std::vector<std::unique_ptr<Board>> boards;
    std::multimap<std::int64_t, Reply> pending;  // by send time, in order of making
    std::uint64_t seq = 0;                       // datagrams received so far
};

// Each board's link index into sim.ifindex, after making sure the board's
// address (and its foreign address, when that fault is configured) is on its
// link, adding them with --add-addresses. False (said on stderr) when a link
// is missing or an address is not there.
bool prepareBoardLinks(Simulator& sim, const Options& opt) {
    for (const auto& b : sim.cfg.boards) {
        unsigned idx = if_nametoindex(b.link.c_str());
        if (!idx) {
            std::fprintf(stderr, "vesk_sim: %s: board %s: link %s does not exist\n", opt.config.c_str(), b.name.c_str(),
                         b.link.c_str());
            return false;
        }
        sim.ifindex.push_back(idx);
        if (!addressOnLink(b.link, b.addr)) {
            if (!opt.addAddresses || !addAddress(b.link, b.address) || !addressOnLink(b.link, b.addr)) {
                std::fprintf(stderr,
                             "vesk_sim: board %s: address %s is not on %s (add it: ip -6 addr add %s/64 dev %s "
                             "nodad, or run with --add-addresses)\n",
                             b.name.c_str(), b.address.c_str(), b.link.c_str(), b.address.c_str(), b.link.c_str());
                return false;
            }
        }
        // Foreign replies leave from a second address of the board's link,
        // added here because only this fault needs it.
        if (!b.faults.foreignReply.empty() && !addressOnLink(b.link, b.faults.foreignAddr) &&
            (!addAddress(b.link, b.faults.foreignAddress) || !addressOnLink(b.link, b.faults.foreignAddr))) {
            std::fprintf(stderr, "vesk_sim: board %s: cannot add the foreign address %s to %s\n", b.name.c_str(),
                         b.faults.foreignAddress.c_str(), b.link.c_str());
            return false;
        }
    }
    return true;
}

// The socket every board receives on: [::]:port, telling each datagram's
// destination and interface (IPV6_PKTINFO) and the kernel's arrival stamp.
// -1 (said on stderr) when it cannot be bound.
int bindBoardSocket(std::uint16_t port) {
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    int on = 1;
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(port);
    if (fd < 0 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "vesk_sim: cannot bind UDP port %u: %s\n", port, std::strerror(errno));
        return -1;
    }
    int rcvbuf = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // The kernel stamps each datagram as it arrives (see arrivalNs).
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return fd;
}

// Opens the record (if asked for) and makes the boards, each writing its
// start line. False (said on stderr) when the record cannot be written.
bool makeBoards(Simulator& sim, const Options& opt) {
    if (!opt.record.empty()) {
        sim.record = std::make_unique<std::ofstream>(opt.record, std::ios::binary | std::ios::trunc);
        if (!*sim.record) {
            std::fprintf(stderr, "vesk_sim: %s: cannot be written\n", opt.record.c_str());
            return false;
        }
    }
    for (std::size_t i = 0; i < sim.cfg.boards.size(); ++i) {
        const BoardConfig& b = sim.cfg.boards[i];
        std::ostream* boardRecord = sim.record.get();
        if (!opt.vgmDir.empty()) {
            sim.recorders.push_back(std::make_unique<VgmRecorder>(b, i));
            VgmRecorder* rec = sim.recorders.back().get();
            sim.taps.push_back(std::make_unique<LineTap>(sim.record ? sim.record->rdbuf() : nullptr,
                                                         [rec](const char* line, std::size_t len) {
                                                             BoardCommand c;
                                                             if (commandFromLine(line, len, c)) rec->add(c);
                                                         }));
            sim.tapStreams.push_back(std::make_unique<std::ostream>(sim.taps.back().get()));
            boardRecord = sim.tapStreams.back().get();
        }
        sim.boards.push_back(std::make_unique<Board>(b, i, boardRecord));
        if (!opt.quiet)
            std::printf("vesk_sim: board %s at %s on %s, %zu slots\n", b.name.c_str(), b.address.c_str(),
                        b.link.c_str(), b.slots.size());
    }
    return true;
}

// Blocks the signals the simulator takes (stop, dump, silence) and installs
// their handler; returns the mask that lets them in, for ppoll alone, so the
// loop never races them.
sigset_t takeSignalsInPpoll() {
    const int signals[] = {SIGINT, SIGTERM, SIGUSR1, SIGUSR2};
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    for (int sig : signals) sigaddset(&blocked, sig);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    for (int sig : signals) {
        sigdelset(&waiting, sig);
        sigaction(sig, &sa, nullptr);
    }
    return waiting;
}

// A message of one buffer to or from peer, with room for ancillary data.
msghdr oneBufferMessage(sockaddr_in6& peer, iovec& iov, char* control, std::size_t controlSize) {
    msghdr msg{};
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = controlSize;
    return msg;
}

// Sends one reply from its board's address (or the board's foreign one) on
// the board's link; a failure is said on stderr unless quiet.
void sendReply(const Simulator& sim, const Reply& r, bool quiet) {
    const BoardConfig& b = sim.cfg.boards[r.board];
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    std::memcpy(&to.sin6_addr, r.to.addr.data(), 16);
    to.sin6_port = htons(r.to.port);
    to.sin6_scope_id = sim.ifindex[r.board];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    iovec iov{const_cast<std::uint8_t*>(r.bytes.data()), r.bytes.size()};
    msghdr msg = oneBufferMessage(to, iov, control, sizeof control);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IPV6;
    c->cmsg_type = IPV6_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
    in6_pktinfo info{};
    std::memcpy(&info.ipi6_addr, (r.foreign ? b.faults.foreignAddr : b.addr).data(), 16);
    info.ipi6_ifindex = sim.ifindex[r.board];
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    if (sendmsg(sim.fd, &msg, 0) < 0 && !quiet)
        std::fprintf(stderr, "vesk_sim: board %s: send failed: %s\n", b.name.c_str(), std::strerror(errno));
}

void sendDueReplies(Simulator& sim, bool quiet) {
    const std::int64_t now = nowNs();
    while (!sim.pending.empty() && sim.pending.begin()->first <= now) {
        sendReply(sim, sim.pending.begin()->second, quiet);
        sim.pending.erase(sim.pending.begin());
    }
}

// How long ppoll may wait: until the next reply is due, or a second.
timespec untilNextReply(const Simulator& sim) {
    if (sim.pending.empty()) return {1, 0};
    const std::int64_t wait = std::max<std::int64_t>(0, sim.pending.begin()->first - nowNs());
    return {static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
}

// A datagram no board is at: recorded with its destination, not answered.
void recordUnclaimed(Simulator& sim, const std::uint8_t* data, std::size_t len, const sockaddr_in6& from,
                     const in6_pktinfo& dst, std::int64_t arrival) {
    char to[INET6_ADDRSTRLEN] = {}, fromText[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &dst.ipi6_addr, to, sizeof to);
    inet_ntop(AF_INET6, &from.sin6_addr, fromText, sizeof fromText);
    RecordLine(sim.record.get(), "datagram")
        .str("board", "")
        .num("seq", static_cast<std::int64_t>(sim.seq))
        .num("arrival_ns", arrival)
        .str("from", fromText)
        .num("from_port", ntohs(from.sin6_port))
        .str("to", to)
        .num("len", static_cast<std::int64_t>(len))
        .hex("bytes", data, len);
    if (sim.record) sim.record->flush();
}

// Hands a datagram to the board at its destination (every board of the link
// for the all-nodes group) and queues their replies.
void dispatchDatagram(Simulator& sim, const std::uint8_t* data, std::size_t len, const sockaddr_in6& from,
                      const in6_pktinfo& dst, std::int64_t arrival) {
    Peer peer;
    std::memcpy(peer.addr.data(), &from.sin6_addr, 16);
    peer.port = ntohs(from.sin6_port);
    peer.scope = from.sin6_scope_id;
    const bool multicast = dst.ipi6_addr.s6_addr[0] == 0xFF;
    ++sim.seq;
    std::vector<Reply> made;
    bool taken = false;
    for (std::size_t i = 0; i < sim.boards.size(); ++i) {
        if (sim.ifindex[i] != dst.ipi6_ifindex) continue;
        if (!multicast && std::memcmp(sim.cfg.boards[i].addr.data(), &dst.ipi6_addr, 16) != 0) continue;
        sim.boards[i]->receive(data, len, multicast, peer, arrival, sim.seq, made);
        taken = true;
    }
    if (!taken) recordUnclaimed(sim, data, len, from, dst, arrival);
    for (auto& r : made) sim.pending.emplace(r.sendAtNs, std::move(r));
}

// Receives and dispatches every datagram waiting on the socket.
void drainSocket(Simulator& sim, std::vector<std::uint8_t>& buf) {
    for (;;) {
        sockaddr_in6 from{};
        alignas(cmsghdr) char control[256];
        iovec iov{buf.data(), buf.size()};
        msghdr msg = oneBufferMessage(from, iov, control, sizeof control);
        ssize_t len = recvmsg(sim.fd, &msg, MSG_DONTWAIT);
        if (len < 0) return;
        in6_pktinfo dst{};
        const timespec* stamp = nullptr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO)
                std::memcpy(&dst, CMSG_DATA(c), sizeof dst);
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
                stamp = reinterpret_cast<const timespec*>(CMSG_DATA(c));
        }
        dispatchDatagram(sim, buf.data(), static_cast<std::size_t>(len), from, dst, arrivalNs(stamp));
    }
}

// Until a stop signal: dumps and silences on their signals, sends the
// replies as they fall due, takes the datagrams as they come.
void serve(Simulator& sim, const Options& opt, const sigset_t& waiting) {
    std::vector<std::uint8_t> buf(65536);
    while (!gStop) {
        if (gDump) {
            gDump = 0;
            dumpState(sim.boards, opt.dumpDir);
        }
        if (gSilence) {
            gSilence = 0;
            for (auto& b : sim.boards) b->signalled(nowNs());
        }
        sendDueReplies(sim, opt.quiet);
        timespec timeout = untilNextReply(sim);
        pollfd pfd{sim.fd, POLLIN, 0};
        if (ppoll(&pfd, 1, &timeout, &waiting) <= 0) continue;
        // Drain what is there before looking at the reply queue again.
        drainSocket(sim, buf);
    }
}

// The last dump, the record's stop line, the VGM files. Returns the exit
// code: 1 when a VGM file cannot be written.
int shutDown(Simulator& sim, const Options& opt) {
    dumpState(sim.boards, opt.dumpDir);
    RecordLine(sim.record.get(), "stop");
    if (sim.record) sim.record->flush();
    close(sim.fd);
    if (!opt.vgmDir.empty() && !writeVgms(sim.recorders, opt.vgmDir)) return 1;
    return 0;
}

int run(const Options& opt) {
    Simulator sim;
    try {
        sim.cfg = loadConfig(opt.config);
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "vesk_sim: %s\n", e.what());
        return 2;
    }
    if (!prepareBoardLinks(sim, opt)) return 1;
    if ((sim.fd = bindBoardSocket(opt.port)) < 0) return 1;
    if (!makeBoards(sim, opt)) return 1;
    const sigset_t waiting = takeSignalsInPpoll();

    if (sim.record) sim.record->flush();
    std::printf("vesk_sim: ready\n");
    std::fflush(stdout);
    if (!opt.readyFile.empty()) std::ofstream(opt.readyFile) << getpid() << "\n";

    serve(sim, opt, waiting);
    return shutDown(sim, opt);
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    std::vector<std::string> args(argv + 1, argv + argc);
    auto value = [&](std::size_t& i) -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const std::string* v = nullptr;
        auto path =
            std::find_if(std::begin(kPathOptions), std::end(kPathOptions), [&](const auto& o) { return a == o.first; });
        if (path != std::end(kPathOptions)) {
            if (!(v = value(i))) return usage();
            opt.*(path->second) = *v;
        } else if (a == "--help" || a == "-h") {
            return usage(stdout);
        } else if (a == "--version") {
            std::printf("vesk_sim %s\n", VESK_VERSION_TEXT);
            return 0;
        } else if (a == "--print" || a == "--summary") {
            if (!(v = value(i))) return usage();
            return printRecord(*v, a == "--summary");
        } else if (a == "--check" || a == "--list-boards") {
            if (!(v = value(i))) return usage();
            try {
                SimConfig cfg = loadConfig(*v);
                for (const auto& b : cfg.boards) {
                    if (a == "--check")
                        std::printf("board %s: %s on %s, %zu slots, %zu I2C devices\n", b.name.c_str(),
                                    b.address.c_str(), b.link.c_str(), b.slots.size(), b.i2c.size());
                    else
                        std::printf("%s %s %s\n", b.link.c_str(), b.address.c_str(), b.name.c_str());
                }
            } catch (const ConfigError& e) {
                std::fprintf(stderr, "vesk_sim: %s\n", e.what());
                return 2;
            }
            return 0;
        } else if (a == "--port") {
            if (!(v = value(i))) return usage();
            opt.port = static_cast<std::uint16_t>(std::atoi(v->c_str()));
        } else if (a == "--add-addresses") {
            opt.addAddresses = true;
        } else if (a == "--quiet") {
            opt.quiet = true;
        } else {
            return usage();
        }
    }
    if (opt.config.empty()) return usage();
    if (!opt.fromRecord.empty()) {
        if (opt.vgmDir.empty()) return usage();
        return vgmFromRecord(opt.config, opt.fromRecord, opt.vgmDir);
    }
    return run(opt);
}
