// The platform layer, run on both sides: the same expectations must hold
// natively and under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vesk::plat {
namespace {

TEST(AddressText, StandardFormRoundTrip) {
    struct Case {
        const char* in;
        const char* out;  // nullptr: must not parse
    };
    const Case cases[] = {
        {"fe80::1", "fe80::1"},
        {"FE80::A:B", "fe80::a:b"},
        {"fe80:0000:0000:0000:0200:00ff:fe00:0001", "fe80::200:ff:fe00:1"},
        {"fe80::10", "fe80::10"},
        {"::", "::"},
        {"2001:db8::fe80:1", "2001:db8::fe80:1"},
        {"fe80::1%3", nullptr},
        {"fe80:::1", nullptr},
        {"", nullptr},
        {"192.168.1.1", nullptr},
    };
    for (const auto& c : cases) {
        std::uint8_t a[16];
        bool ok = textToAddr(c.in, a);
        if (!c.out) {
            EXPECT_FALSE(ok) << c.in;
            continue;
        }
        ASSERT_TRUE(ok) << c.in;
        EXPECT_EQ(addrToText(a), c.out) << c.in;
    }
}

// The sender relies on this never returning early (MinGW's sleep_until can).
TEST(Time, SleepUntilNeverWakesEarly) {
    using clock = std::chrono::steady_clock;
    for (int i = 0; i < 40; ++i) {
        auto deadline = clock::now() + std::chrono::microseconds(300 + 97 * i);
        sleepUntil(deadline);
        ASSERT_GE(clock::now(), deadline) << "iteration " << i;
    }
    sleepUntil(clock::now() - std::chrono::seconds(1));  // a past deadline returns at once
}

// The sender's wake-up: never early, and late by tens of microseconds, not by
// a timer period. The bound is loose for loaded machines and Wine; the
// benchmark measures the real figure.
TEST(Time, SleepUntilPreciseWakesJustAfterTheDeadline) {
    using clock = std::chrono::steady_clock;
    std::vector<std::int64_t> lateUs;
    for (int i = 0; i < 40; ++i) {
        auto deadline = clock::now() + std::chrono::microseconds(2000 + 97 * i);
        sleepUntilPrecise(deadline);
        auto late = clock::now() - deadline;
        ASSERT_GE(late.count(), 0) << "iteration " << i;
        lateUs.push_back(std::chrono::duration_cast<std::chrono::microseconds>(late).count());
    }
    std::sort(lateUs.begin(), lateUs.end());
    EXPECT_LT(lateUs[lateUs.size() / 2], 500) << "median lateness in us";
}

// A console program that shows UTF-8 hands the console back as it found
// it: the code page is the console's, and outlives the program.
TEST(Console, Utf8OutputEndsWithItsProgram) {
    const unsigned before = consoleOutputCodePage();
    if (before == 0) GTEST_SKIP() << "no console code page here (POSIX, or no console)";
    if (before == 65001) GTEST_SKIP() << "the console already shows UTF-8: nothing to put back";
    {
        ConsoleUtf8 utf8;
        EXPECT_EQ(consoleOutputCodePage(), 65001u);
    }
    EXPECT_EQ(consoleOutputCodePage(), before);
}

// Ctrl-C only raises the flag: the program goes on to clean up itself.
TEST(Console, InterruptIsCaughtAndFlagged) {
#if VESK_PLATFORM_POSIX
    catchInterrupts();
    EXPECT_FALSE(interruptRequested());
    std::raise(SIGINT);
    EXPECT_TRUE(interruptRequested());
    EXPECT_EQ(interruptExitCode(), 130);
#else
    GTEST_SKIP() << "console control events need a real console";
#endif
}

TEST(Modules, OwnPathAndDirectory) {
    std::string path = modulePath(reinterpret_cast<const void*>(&modulePath));
    ASSERT_FALSE(path.empty());
    std::string dir = directoryOf(path);
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(path.compare(0, dir.size(), dir), 0);
    EXPECT_EQ(path.find_first_of("/\\", dir.size()), std::string::npos);
    EXPECT_NE(moduleOf(reinterpret_cast<const void*>(&modulePath)), nullptr);
}

TEST(Modules, MissingLibraryLoadsAsNull) {
    EXPECT_EQ(loadModule(directoryOf(modulePath(reinterpret_cast<const void*>(&modulePath))) +
                         sharedLibraryName("no_such_library")),
              nullptr);
    EXPECT_EQ(findSymbol(nullptr, "x"), nullptr);
    std::string content;
    EXPECT_FALSE(readFile("no/such/file.toml", content));
}

TEST(MessageBox, HookCapturesInsteadOfShowing) {
    std::string text, caption;
    setMessageHook([&](const std::string& t, const std::string& c) {
        text = t;
        caption = c;
    });
    messageBox("Error : Winsock を初期化できない", "error");
    setMessageHook(nullptr);
    EXPECT_EQ(text, "Error : Winsock を初期化できない");
    EXPECT_EQ(caption, "error");
}

// Loopback UDP exchange through the layer: send, receive with sender, the
// oversized-datagram rule, and both time-outs.
class Udp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(netStartup());
        auto addrs = resolvePassive("::1", 50977);
        if (addrs.empty()) GTEST_SKIP() << "no IPv6 loopback on this machine";
        a = open(addrs[0]);
        auto addrs2 = resolvePassive("::1", 50978);
        b = open(addrs2[0]);
        if (a == kInvalidSocket || b == kInvalidSocket) GTEST_SKIP() << "cannot bind ::1 (no IPv6 loopback)";
        to = addrs2[0];
    }
    void TearDown() override {
        closeSocket(a);
        closeSocket(b);
        netCleanup();
    }
    static Socket open(const SockAddr6& at) {
        Socket s = udp6Socket();
        if (s == kInvalidSocket) return s;
        if (!setV6Only(s, true) || !setProtectionLevel(s, 30) || !setReuseAddr(s, true) || !setRecvTimeoutMs(s, 100) ||
            !bindSocket(s, at)) {
            closeSocket(s);
            return kInvalidSocket;
        }
        return s;
    }
    Socket a = kInvalidSocket, b = kInvalidSocket;
    SockAddr6 to;
};

TEST_F(Udp, ExchangeAndTimeouts) {
    const unsigned char sync[] = {0x01, 0x80};
    ASSERT_EQ(sendTo(a, sync, sizeof sync, to), 2);
    ASSERT_EQ(waitReadable(b, 1000000), WaitStatus::Ready);
    unsigned char buf[16];
    RecvResult r = recvFrom(b, buf, sizeof buf);
    ASSERT_EQ(r.status, RecvStatus::Ok);
    EXPECT_EQ(r.length, 2u);
    EXPECT_EQ(std::memcmp(buf, sync, 2), 0);
    EXPECT_EQ(r.from.port, 50977);
    EXPECT_EQ(addrToText(r.from.addr), "::1");

    // A datagram longer than the buffer is no datagram at all.
    unsigned char big[64] = {};
    ASSERT_EQ(sendTo(a, big, sizeof big, to), 64);
    ASSERT_EQ(waitReadable(b, 1000000), WaitStatus::Ready);
    EXPECT_EQ(recvFrom(b, buf, sizeof buf).status, RecvStatus::Error);

    // Nothing pending: the readiness wait and the receive time-out expire.
    EXPECT_EQ(waitReadable(b, 20000), WaitStatus::TimedOut);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(recvFrom(b, buf, sizeof buf).status, RecvStatus::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(80));
}

// A socket that is not there fails its waits and sends at once, instead of
// sleeping out the time (poll skips a negative descriptor).
TEST(Sockets, InvalidSocketFailsAtOnce) {
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(waitReadable(kInvalidSocket, 2000000), WaitStatus::Error);
    EXPECT_EQ(waitWritable(kInvalidSocket, 2000000), WaitStatus::Error);
    const unsigned char b = 0;
    EXPECT_EQ(trySendTo(kInvalidSocket, &b, 1, SockAddr6{}), SendStatus::Error);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace vesk::plat
