// The simulator over real sockets: a small native host in the test bed's
// host namespace talks to the boards of tests/sim/net.toml. Run through
// tools/testbed/testbed.sh (ctest does); skips when not in a test bed.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "sim_config.h"
#include "sim_record.h"
#include "testbed_env.h"

namespace plat = vesk::plat;
using namespace vesk::sim;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

struct Bed {
    bool ok = false;
    std::string why;
    std::map<std::string, std::string> hostOf;     // host link -> host address
    std::map<std::string, std::string> boardAddr;  // board name -> address
    std::map<std::string, std::string> boardLink;  // board name -> host link
    SimConfig config;
    std::string record, dumpDir;
    pid_t simPid = 0;
};

const Bed& bed() {
    static Bed b = [] {
        Bed b;
        const auto& env = vesk::testbed::Env::get();
        if (!env.inBed) {
            b.why = env.why;
            return b;
        }
        for (std::size_t i = 0; i < env.links.size(); ++i) b.hostOf[env.links[i]] = env.hosts[i];
        for (const auto& board : env.boards) {
            b.boardAddr[board.name] = board.address;
            b.boardLink[board.name] = board.hostLink;
        }
        b.config = loadConfig(env.config);
        b.record = env.record;
        b.dumpDir = env.dumpDir;
        b.simPid = static_cast<pid_t>(env.simPid);
        for (const char* needed : {"NET-A", "NET-B", "NET-F", "NET-S"})
            if (!b.boardAddr.count(needed)) {
                b.why = std::string("the test bed does not run tests/sim/net.toml (no ") + needed + ")";
                return b;
            }
        b.ok = true;
        return b;
    }();
    return b;
}

#define NEED_BED()                                \
    do {                                          \
        if (!bed().ok) GTEST_SKIP() << bed().why; \
    } while (0)

// A host socket on one link, on a port of its own so that every test can
// find its own datagrams in the record.
class Host {
public:
    explicit Host(const std::string& board, std::uint32_t timeoutMs = 200) {
        static std::uint16_t nextPort = 50100;
        port_ = nextPort++;
        host_ = bed().hostOf.at(bed().boardLink.at(board));
        board_ = bed().boardAddr.at(board);
        for (const auto& a : plat::resolvePassive(host_, port_)) {
            s_ = plat::udp6Socket();
            if (plat::setV6Only(s_, true) && plat::setRecvTimeoutMs(s_, timeoutMs) && plat::bindSocket(s_, a)) break;
            plat::closeSocket(s_);
            s_ = plat::kInvalidSocket;
        }
        EXPECT_NE(s_, plat::kInvalidSocket) << "cannot bind " << host_ << " port " << port_;
    }
    ~Host() { plat::closeSocket(s_); }

    void send(const Bytes& d, const std::string& to = "") {
        plat::SockAddr6 a;
        plat::textToAddr(to.empty() ? board_ : to, a.addr);
        a.port = 50003;
        ASSERT_EQ(plat::sendTo(s_, d.data(), d.size(), a), static_cast<int>(d.size()));
    }
    // The next datagram, or nothing after the time-out. from gets the sender.
    Bytes recv(std::string* from = nullptr) {
        Bytes buf(512);
        plat::RecvResult r = plat::recvFrom(s_, buf.data(), buf.size());
        if (r.status != plat::RecvStatus::Ok) return {};
        buf.resize(r.length);
        if (from) *from = plat::addrToText(r.from.addr) + "#" + std::to_string(r.from.port);
        return buf;
    }
    Bytes ask(const Bytes& d) {
        send(d);
        return recv();
    }
    std::uint16_t port() const { return port_; }
    const std::string& board() const { return board_; }

private:
    plat::Socket s_ = plat::kInvalidSocket;
    std::uint16_t port_ = 0;
    std::string host_, board_;
};

const BoardConfig& configOf(const std::string& name) {
    for (const auto& b : bed().config.boards)
        if (b.name == name) return b;
    throw std::runtime_error("no board " + name);
}

// Record entries of one board that came from (or went to) one host port.
std::vector<RecordEntry> recorded(const std::string& board, std::uint16_t port) {
    std::vector<RecordEntry> all, out;
    std::string error;
    EXPECT_TRUE(readRecordFile(bed().record, all, &error)) << error;
    std::map<std::int64_t, bool> mine;  // datagram seq numbers from port
    for (const auto& e : all) {
        if (e.str("board") != board) continue;
        if (e.type() == "datagram" && e.num("from_port") == port) mine[e.num("seq")] = true;
        if (mine.count(e.num("seq"))) out.push_back(e);
    }
    return out;
}

const Bytes kSync = {0x01, 0x80}, kSyncReply = {0x03, 0x80, 0x57, 0x50};

}  // namespace

TEST(SimNet, DiscoveryIsAnsweredFromEachBoardsOwnAddress) {
    NEED_BED();
    // vb0 holds NET-A and NET-B (which answers twice); vb1 NET-F.
    for (const auto& [board, expect] : std::map<std::string, std::vector<std::string>>{
             {"NET-A", {bed().boardAddr.at("NET-A"), bed().boardAddr.at("NET-B"), bed().boardAddr.at("NET-B")}},
             {"NET-F", {bed().boardAddr.at("NET-F")}}}) {
        Host h(board);
        h.send(kSync, "ff02::1");
        std::vector<std::string> answers;
        std::string from;
        for (Bytes r; !(r = h.recv(&from)).empty();) {
            EXPECT_EQ(r, kSyncReply);
            answers.push_back(from.substr(0, from.find('#')));
            EXPECT_EQ(from.substr(from.find('#') + 1), "50003");  // from the board port
        }
        std::sort(answers.begin(), answers.end());
        EXPECT_EQ(answers, expect) << "on the link of " << board;
    }
}

TEST(SimNet, QueriesAnswerTheSendersPortWithTheConfiguredValues) {
    NEED_BED();
    const BoardConfig& c = configOf("NET-A");
    Host h("NET-A");
    std::string from;
    h.send({0x03, 0x40, 0x00, 0x00});
    EXPECT_EQ(h.recv(&from), Bytes({0x06, 0x40, 0x00, 0x00, c.firmware[2], c.firmware[1], c.firmware[0]}));
    EXPECT_EQ(from, c.address + "#50003");
    EXPECT_EQ(h.ask({0x03, 0x40, 0x00, 0x01}), Bytes({0x04, 0x40, 0x00, 0x01, 2}));
    EXPECT_EQ(h.ask({0x03, 0x40, 0x00, 0x04}), Bytes({0x05, 0x40, 0x00, 0x04, 50, 0}));
    EXPECT_EQ(h.ask({0x03, 0x40, 0x00, 0x05}), Bytes({0x07, 0x40, 0x00, 0x05, 0x00, 0x40, 0x00, 0x00}));
    Bytes name = h.ask({0x03, 0x40, 0x00, 0x06});
    EXPECT_EQ(std::string(name.begin() + 4, name.end()), c.name);
    Bytes ipv4 = h.ask({0x03, 0x40, 0x00, 0x07});
    EXPECT_EQ(std::string(ipv4.begin() + 4, ipv4.end()), c.ipv4);
    EXPECT_EQ(h.ask({0x03, 0x40, 0x00, 0x0B}), Bytes({0x04, 0x40, 0x00, 0x0B, 100}));
    EXPECT_EQ(h.ask({0x04, 0x40, 0x00, 0x0C, 0x3C}).back(), 1);
    EXPECT_EQ(h.ask({0x04, 0x40, 0x00, 0x0C, 0x50}).back(), 0);
    for (std::uint8_t s = 0; s < 2; ++s) {
        const SlotConfig& sc = c.slots[s];
        std::uint8_t t = s + 1;
        EXPECT_EQ(h.ask({0x03, 0x40, t, 0x00}), Bytes({0x04, 0x40, t, 0x00, 1}));
        EXPECT_EQ(h.ask({0x03, 0x40, t, 0x01}), Bytes({0x04, 0x40, t, 0x01, sc.variableClock}));
        EXPECT_EQ(h.ask({0x03, 0x40, t, 0x02}), Bytes({0x04, 0x40, t, 0x02, sc.hardwareReset}));
        Bytes clock = h.ask({0x03, 0x40, t, 0x03});
        ASSERT_EQ(clock.size(), 8u);
        EXPECT_EQ(clock[4] | clock[5] << 8 | clock[6] << 16 | std::uint32_t(clock[7]) << 24, sc.clock);
        Bytes chip = h.ask({0x03, 0x40, t, 0x04});
        EXPECT_EQ(std::string(chip.begin() + 4, chip.end()), sc.chip);
        Bytes ext = h.ask({0x03, 0x40, t, 0x05});
        EXPECT_EQ(std::string(ext.begin() + 4, ext.end()), sc.extInfo);
    }
    // Set and clear the host port: answered, and recorded.
    EXPECT_EQ(h.ask({0x05, 0x50, 0x00, 0x0A, 0x53, 0xC3}).size(), 6u);
    EXPECT_EQ(h.ask({0x05, 0x50, 0x00, 0x0A, 0x00, 0x00}).size(), 6u);
    auto rec = recorded("NET-A", h.port());
    int sets = 0;
    for (const auto& e : rec) sets += e.type() == "command" && e.str("name") == "set";
    EXPECT_EQ(sets, 2);
}

TEST(SimNet, WritesReadsResetsSyncsAndTheTimeline) {
    NEED_BED();
    Host h("NET-A");
    // One batch: write (3 + 21 us), wait 3 ms, write to slot 1, wait 250 us,
    // read back the first, sync.
    const Bytes batch = {0x06, 0x00, 0x00, 0x20, 0xC7, 3,    21,   0x04, 0x01, 0x01, 0x03, 0x00, 0x06, 0x00, 0x11, 0x29,
                         0x80, 0,    0,    0x04, 0x01, 0x00, 0xFA, 0x00, 0x04, 0x04, 0x00, 0x20, 5,    0x01, 0x80};
    auto t0 = Clock::now();
    h.send(batch);
    EXPECT_EQ(h.recv(), Bytes({0x04, 0x04, 0x00, 0x20, 0xC7}));
    EXPECT_EQ(h.recv(), kSyncReply);
    auto t1 = Clock::now();
    EXPECT_EQ(h.ask({0x04, 0x04, 0x10, 0x29, 0}).back(), 0x80);  // port code 1 written, read on 0
    EXPECT_EQ(h.ask({0x02, 0x90, 0x02}), Bytes({0x03, 0x90, 0x4F, 0x4B}));
    EXPECT_EQ(h.ask({0x04, 0x04, 0x10, 0x29, 0}).back(), 0x00);  // slot 1 was reset
    EXPECT_EQ(h.ask({0x04, 0x04, 0x00, 0x20, 0}).back(), 0xC7);  // slot 0 was not

    auto rec = recorded("NET-A", h.port());
    ASSERT_FALSE(rec.empty());
    ASSERT_EQ(rec[0].type(), "datagram");
    EXPECT_EQ(rec[0].bytes("bytes"), batch);
    // Arrival time is on the host's monotonic clock, between send and reply.
    auto ns = [](Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    };
    EXPECT_GE(rec[0].num("arrival_ns"), ns(t0));
    EXPECT_LE(rec[0].num("arrival_ns"), ns(t1));
    std::vector<std::int64_t> replay;
    std::vector<std::string> names;
    for (const auto& e : rec)
        if (e.type() == "command" && e.num("seq") == rec[0].num("seq")) {
            replay.push_back(e.num("replay_ns") - rec[0].num("arrival_ns"));
            names.push_back(e.str("name"));
        }
    EXPECT_EQ(names, (std::vector<std::string>{"write_reg", "wait", "write_reg", "wait", "read_reg", "sync"}));
    EXPECT_EQ(replay, (std::vector<std::int64_t>{0, 24000, 3024000, 3024000, 3274000, 3279000}));
}

TEST(SimNet, I2cBusAsTheTestProgramUsesIt) {
    NEED_BED();
    Host h("NET-A");
    EXPECT_EQ(h.ask({0x03, 0x20, 0x28, 0x03}), Bytes({0x04, 0x20, 0x87, 0x00, 0x40}));
    h.send({0x03, 0x30, 0x28, 0x87});
    EXPECT_EQ(h.ask(kSync), kSyncReply);
    h.send({0x05, 0x30, 0x28, 0x87, 0x15, 0x40 | 0x2A});
    EXPECT_EQ(h.ask(kSync), kSyncReply);
    EXPECT_EQ(h.ask({0x03, 0x20, 0x28, 0x03}), Bytes({0x04, 0x20, 0x87, 0x15, 0x6A}));
    EXPECT_EQ(h.ask({0x03, 0x20, 0x50, 0x03}), Bytes({0x01, 0x20}));  // nobody at 0x50

    // A display pass with 0xFF, as the test program writes it, then a dump.
    for (std::uint8_t page = 0; page < 8; ++page) {
        h.send({0x0A, 0x30, 0x3C, 0x00, 0x21, 0x00, 0x7F, 0x22, 0x00, 0x07, static_cast<std::uint8_t>(0xB0 + page)});
        ASSERT_EQ(h.ask(kSync), kSyncReply);
        Bytes data = {0x83, 0x30, 0x3C, 0x40};
        data.insert(data.end(), 128, 0xFF);
        h.send(data);
        ASSERT_EQ(h.ask(kSync), kSyncReply);
    }
    ASSERT_GT(bed().simPid, 0);
    std::string pbm = bed().dumpDir + "/board0-display-3c.pbm";
    std::remove(pbm.c_str());
    ASSERT_EQ(kill(bed().simPid, SIGUSR1), 0);
    std::string text;
    for (int i = 0; i < 100 && text.size() < 64 * 129; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ifstream in(pbm);
        std::ostringstream s;
        s << in.rdbuf();
        text = s.str();
    }
    ASSERT_EQ(text.compare(0, 3, "P1\n"), 0) << pbm;
    std::size_t body = text.find("128 64\n");
    ASSERT_NE(body, std::string::npos);
    std::string pixels = text.substr(body + 7);
    EXPECT_EQ(std::count(pixels.begin(), pixels.end(), '1'), 128 * 64);
}

TEST(SimNet, ConfiguredFaults) {
    NEED_BED();
    Host h("NET-F", 500);
    EXPECT_TRUE(h.ask({0x03, 0x40, 0x00, 0x06}).empty());                               // no reply
    EXPECT_EQ(h.ask({0x03, 0x40, 0x00, 0x05}), Bytes({0x07, 0x40, 0x00, 0x05, 0x00}));  // truncated to 5
    Bytes reset = h.ask({0x02, 0x90, 0xFF});
    EXPECT_EQ(reset.size(), 4u);
    EXPECT_NE(reset, Bytes({0x03, 0x90, 0x4F, 0x4B}));  // garbage
    int answered = 0;
    for (int i = 0; i < 6; ++i) answered += !h.ask({0x04, 0x04, 0x00, 0x20, 0}).empty();
    EXPECT_EQ(answered, 4);  // every 3rd read reply is lost

    // The chip name comes 300 ms late: a 200 ms receive misses it, the next
    // receive gets it.
    Host slow("NET-F", 1000);
    auto t0 = Clock::now();
    Bytes name = slow.ask({0x03, 0x40, 0x01, 0x04});
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_EQ(std::string(name.begin() + 4, name.end()), "YM2612");
    EXPECT_GE(ms, 295);
    EXPECT_LT(ms, 600);
}

TEST(SimNet, SilentBoardStopsAnswering) {
    NEED_BED();
    Host h("NET-S");
    EXPECT_EQ(h.ask(kSync), kSyncReply);
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    EXPECT_TRUE(h.ask(kSync).empty());
    h.send(kSync, "ff02::1");
    EXPECT_TRUE(h.recv().empty());
    auto rec = recorded("NET-S", h.port());
    int silent = 0;
    for (const auto& e : rec) silent += e.type() == "datagram" && e.flag("silent");
    EXPECT_EQ(silent, 2);
}

TEST(SimNet, MalformedDatagramsDoNotStopTheBoard) {
    NEED_BED();
    Host h("NET-B");
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
        Bytes d(rng() % 64);
        for (auto& b : d) b = static_cast<std::uint8_t>(rng());
        h.send(d);
    }
    // Drain whatever the noise asked for, then the board still answers.
    while (!h.recv().empty()) {
    }
    EXPECT_EQ(h.ask(kSync), kSyncReply);
    auto rec = recorded("NET-B", h.port());
    int datagrams = 0, malformed = 0;
    for (const auto& e : rec) {
        datagrams += e.type() == "datagram";
        malformed += e.type() == "command" && e.str("status") != "ok";
    }
    EXPECT_EQ(datagrams, 301);
    EXPECT_GT(malformed, 100);
}
