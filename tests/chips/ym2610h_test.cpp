// The YM2610+H's USB link and sample upload, against a stand-in D2XX library
// that records its calls and lets the test drive the board's ready line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/alloc_hooks.h"
#include "support/chip_test_util.h"
#include "chips/ftdi_link.h"
#include "chips/ym2610h.h"
#include "platform/platform.h"

namespace vesk {
namespace {

using test::ChipOnBoard;
using test::RecordSpec;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

void anchor() {}

std::string fakeLibraryPath() {
    return plat::directoryOf(plat::modulePath(reinterpret_cast<const void*>(&anchor))) + FAKE_D2XX_FILE;
}

// The stand-in's own controls, reached through a handle of the test's that
// keeps it loaded (and its state alive) between the chips' loads.
struct FakeD2xx {
    plat::Module module = nullptr;
    void (*reset)(const char*, unsigned long) = nullptr;
    void (*readyMode)(int) = nullptr;
    void (*openGate)(int) = nullptr;
    int (*openHandles)() = nullptr;
    int (*log)(char*, int) = nullptr;

    bool load() {
        module = plat::loadModule(fakeLibraryPath());
        if (!module) return false;
        reset = reinterpret_cast<decltype(reset)>(plat::findSymbol(module, "fake_d2xx_reset"));
        readyMode = reinterpret_cast<decltype(readyMode)>(plat::findSymbol(module, "fake_d2xx_ready_mode"));
        openGate = reinterpret_cast<decltype(openGate)>(plat::findSymbol(module, "fake_d2xx_open_gate"));
        openHandles = reinterpret_cast<decltype(openHandles)>(plat::findSymbol(module, "fake_d2xx_open_handles"));
        log = reinterpret_cast<decltype(log)>(plat::findSymbol(module, "fake_d2xx_log"));
        return reset && readyMode && openGate && openHandles && log;
    }
    Lines calls() {
        std::string text(static_cast<std::size_t>(log(nullptr, 0)) + 1, '\0');
        log(&text[0], static_cast<int>(text.size()));
        Lines out;
        std::size_t start = 0;
        for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            out.push_back(text.substr(start, nl - start));
        return out;
    }
};

const Lines kOpenSequence = {"OpenEx FAKE0001 1",  "GetDeviceInfo",         "ResetDevice",      "Purge 3",
                             "SetTimeouts 0 5000", "SetBaudRate 480000000", "SetLatencyTimer 1"};

std::string dataLine(const std::vector<std::uint8_t>& data) {
    std::uint32_t h = 2166136261u;
    for (std::uint8_t b : data) h = (h ^ b) * 16777619u;
    char text[64];
    std::snprintf(text, sizeof text, "Write %zu bytes %08x", data.size(), static_cast<unsigned>(h));
    return text;
}

class YM2610H : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fake.load()) << "stand-in D2XX library not found at " << fakeLibraryPath();
        fake.reset("FAKE0001", 8);
        setD2xxLibraryPath(fakeLibraryPath());
    }
    void TearDown() override {
        setD2xxLibraryPath("");
        setD2xxReadyTimeout(5000ms);
        if (fake.module) plat::unloadModule(fake.module);
    }
    std::unique_ptr<ChipOnBoard> makeChip(const char* serial = "FAKE0001", std::uint32_t clock = 8000000) {
        RecordSpec spec;
        spec.name = "YM2610+H";
        spec.extInfo = serial;
        spec.clock = clock;
        spec.slot = 2;
        return std::make_unique<ChipOnBoard>(spec);
    }
    static ChipYM2610H* ym(ChipOnBoard& cb) { return static_cast<ChipYM2610H*>(cb.chip.get()); }

    FakeD2xx fake;
};

TEST_F(YM2610H, OpensBySerialChecksTheTypeConfiguresAndClosesOnDestruction) {
    auto cb = makeChip();
    EXPECT_EQ(ChipTestAccess::linkOpen(*ym(*cb)), 1);
    EXPECT_EQ(fake.calls(), kOpenSequence);
    EXPECT_EQ(fake.openHandles(), 1);
    cb.reset();
    Lines after = fake.calls();
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back(), "Close");
    EXPECT_EQ(fake.openHandles(), 0);
}

TEST_F(YM2610H, LinkStaysClosedWhenTheConverterIsMissingOrOfAnotherType) {
    {
        auto cb = makeChip("OTHER-SERIAL");
        EXPECT_EQ(ChipTestAccess::linkOpen(*ym(*cb)), 0);
        EXPECT_EQ(fake.calls(), Lines{"OpenEx OTHER-SERIAL 1"});
    }
    fake.reset("FAKE0001", 7);  // an FT2232H, say
    {
        auto cb = makeChip();
        EXPECT_EQ(ChipTestAccess::linkOpen(*ym(*cb)), 0);
        EXPECT_EQ(fake.calls(), (Lines{"OpenEx FAKE0001 1", "GetDeviceInfo", "Close"}));
        EXPECT_EQ(fake.openHandles(), 0);
    }
    fake.reset("FAKE0001", 8);
    setD2xxLibraryPath(fakeLibraryPath() + ".missing");
    {
        auto cb = makeChip();
        EXPECT_EQ(ChipTestAccess::linkOpen(*ym(*cb)), 0);
        SampleBlock block{reinterpret_cast<const std::uint8_t*>("abc"), 0, 3, 0};
        EXPECT_TRUE(cb->chip->uploadSampleMemory(&block)) << "accepted, sent nowhere";
    }
    EXPECT_TRUE(fake.calls().empty());
}

TEST_F(YM2610H, SerialNumberMayFillItsField) {
    const char* serial = "0123456789ABCDEF0123456789ABCDEF";  // 32 characters, no terminator
    fake.reset(serial, 8);
    auto cb = makeChip(serial);
    EXPECT_EQ(ChipTestAccess::linkOpen(*ym(*cb)), 1);
}

TEST_F(YM2610H, RegisterWaitsWithTheLinkOpen) {
    auto cb = makeChip();
    cb->take();
    cb->chip->write(0x100, 0x80);  // ADPCM-A key: W(576)
    cb->chip->write(0x010, 0x80);  // ADPCM-B control: W(83) + 2
    cb->chip->write(0x130, 0x01);
    EXPECT_EQ(cb->take(), (Lines{"06 00 22 00 80 03 48", "06 00 21 10 80 03 0d", "06 00 22 30 01 03 0b"}));
}

TEST_F(YM2610H, CreationSilenceDropsTheAdpcmKeysAndResetSendsThem) {
    auto cb = makeChip();
    auto has = [](const Lines& sent, const std::string& line) {
        return std::find(sent.begin(), sent.end(), line) != sent.end();
    };
    Lines created = cb->take();
    EXPECT_FALSE(has(created, "06 00 22 00 00 03 48")) << "link still closed during the set-up silence";
    EXPECT_FALSE(has(created, "06 00 21 10 01 03 0d"));
    cb->chip->reset();
    Lines reset = cb->take();
    EXPECT_TRUE(has(reset, "06 00 22 00 00 03 48"));
    EXPECT_TRUE(has(reset, "06 00 21 10 01 03 0d"));
}

TEST_F(YM2610H, UploadHeaderBitModesAndDataInOrder) {
    struct Case {
        std::uint32_t bank, offset;
        const char* header;
    };
    const Case cases[] = {
        {0, 0, "Write 00"},
        {1, 0, "Write 01"},
        {1, 0x123456, "Write 01563412"},
        {0, 0xFFFFFF, "Write 00ffffff"},
    };
    auto cb = makeChip();
    std::vector<std::uint8_t> data(4096);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    for (const Case& c : cases) {
        fake.reset("FAKE0001", 8);
        SampleBlock block{data.data(), c.bank, static_cast<std::uint32_t>(data.size()), c.offset};
        ASSERT_TRUE(cb->chip->uploadSampleMemory(&block));
        data.assign(data.size(), 0xEE);  // the caller's buffer is free once the call returns
        cb->chip.reset();                // joins the upload thread
        Lines calls = fake.calls();
        std::vector<std::uint8_t> expected(4096);
        for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<std::uint8_t>(i * 7 + 1);
        EXPECT_EQ(calls, (Lines{"SetBitMode d1 20", c.header, "GetBitMode ready", "SetBitMode d0 20",
                                dataLine(expected), "GetBitMode ready", "Close"}))
            << c.bank << " " << c.offset;
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
        cb = makeChip();
    }
}

TEST_F(YM2610H, InvalidBlocksAreRefusedWithoutAThread) {
    auto cb = makeChip();
    fake.reset("FAKE0001", 8);
    std::vector<std::uint8_t> data(16, 1);
    const SampleBlock bad[] = {
        {data.data(), 0, 0, 0},
        {data.data(), 0, 0x1000001, 0},
        {data.data(), 0, 16, 0x1000000},
        {data.data(), 2, 16, 0},
        {nullptr, 0, 16, 0},
    };
    for (const SampleBlock& b : bad) EXPECT_FALSE(cb->chip->uploadSampleMemory(&b)) << b.bank << " " << b.size;
    EXPECT_FALSE(cb->chip->uploadSampleMemory(nullptr));
    EXPECT_FALSE(ChipTestAccess::uploadThread(*ym(*cb), 0).joinable());
    EXPECT_FALSE(ChipTestAccess::uploadThread(*ym(*cb), 1).joinable());
    EXPECT_EQ(ChipTestAccess::bankSize(*ym(*cb), 0), 0u);
    EXPECT_TRUE(fake.calls().empty());
}

TEST_F(YM2610H, AnUploadWhoseThreadCannotStartFailsWithoutThrowing) {
    auto cb = makeChip();
    const std::vector<std::uint8_t> data(64, 0x5A);
    const SampleBlock block{data.data(), 0, 64, 0};
    test::failAllocationNumber(1);  // the thread's state
    bool ok = true;
    EXPECT_NO_THROW(ok = cb->chip->uploadSampleMemory(&block));
    test::failAllocationNumber(0);
    EXPECT_FALSE(ok);
    // The chip is still usable: the next upload runs.
    EXPECT_TRUE(cb->chip->uploadSampleMemory(&block));
}

TEST_F(YM2610H, SecondUploadToABankWaitsForTheFirst) {
    auto cb = makeChip();
    fake.reset("FAKE0001", 8);
    fake.readyMode(2);  // ready only when the test opens the gate
    std::vector<std::uint8_t> first(64, 0x11), second(32, 0x22);
    SampleBlock a{first.data(), 0, 64, 0};
    SampleBlock b{second.data(), 0, 32, 0x100};
    ASSERT_TRUE(cb->chip->uploadSampleMemory(&a));
    std::atomic<bool> secondReturned{false};
    std::thread host([&] {
        cb->chip->uploadSampleMemory(&b);
        secondReturned = true;
    });
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(secondReturned.load()) << "returned while the first transfer was still running";
    fake.openGate(1);
    host.join();
    EXPECT_TRUE(secondReturned.load());
    cb->chip.reset();
    EXPECT_EQ(fake.calls(),
              (Lines{"SetBitMode d1 20", "Write 00", "GetBitMode low", "GetBitMode ready", "SetBitMode d0 20",
                     dataLine(first), "GetBitMode ready", "SetBitMode d1 20", "Write 00000100", "GetBitMode ready",
                     "SetBitMode d0 20", dataLine(second), "GetBitMode ready", "Close"}));
}

TEST_F(YM2610H, UploadsToBothBanksRunOneAfterTheOther) {
    auto cb = makeChip();
    fake.reset("FAKE0001", 8);
    std::vector<std::uint8_t> zero(40, 0x01), one(48, 0x02);
    SampleBlock a{zero.data(), 0, 40, 0};
    SampleBlock b{one.data(), 1, 48, 0};
    ASSERT_TRUE(cb->chip->uploadSampleMemory(&a));
    ASSERT_TRUE(cb->chip->uploadSampleMemory(&b));
    cb->chip.reset();
    Lines calls = fake.calls();
    // Whichever thread got the link first, its six calls come as a block.
    const Lines bank0 = {"SetBitMode d1 20", "Write 00",     "GetBitMode ready",
                         "SetBitMode d0 20", dataLine(zero), "GetBitMode ready"};
    const Lines bank1 = {"SetBitMode d1 20", "Write 01",    "GetBitMode ready",
                         "SetBitMode d0 20", dataLine(one), "GetBitMode ready"};
    Lines ab = bank0, ba = bank1;
    ab.insert(ab.end(), bank1.begin(), bank1.end());
    ba.insert(ba.end(), bank0.begin(), bank0.end());
    ab.push_back("Close");
    ba.push_back("Close");
    EXPECT_TRUE(calls == ab || calls == ba) << ::testing::PrintToString(calls);
}

TEST_F(YM2610H, RegisterWriteWaitsForARunningTransfer) {
    auto cb = makeChip();
    cb->take();
    fake.readyMode(2);
    std::vector<std::uint8_t> data(64, 0x33);
    SampleBlock block{data.data(), 1, 64, 0};
    ASSERT_TRUE(cb->chip->uploadSampleMemory(&block));
    std::this_thread::sleep_for(50ms);  // the transfer now holds the link
    std::thread host([&] { cb->chip->write(0x130, 0x01); });
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(cb->take().empty()) << "a register write went out during the transfer";
    fake.openGate(1);
    host.join();
    EXPECT_EQ(cb->take(), Lines{"06 00 22 30 01 03 0b"});
}

TEST_F(YM2610H, ReadyLineThatNeverRisesEndsTheTransferAndFreesTheChip) {
    setD2xxReadyTimeout(200ms);
    auto cb = makeChip();
    cb->take();
    fake.reset("FAKE0001", 8);
    fake.readyMode(0);
    std::vector<std::uint8_t> data(64, 0x44);
    SampleBlock block{data.data(), 0, 64, 0};
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(cb->chip->uploadSampleMemory(&block));
    std::this_thread::sleep_for(20ms);
    cb->chip->write(0x030, 0x01);  // waits for the transfer to give up
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 190ms);
    EXPECT_LT(waited, 3s);
    EXPECT_EQ(cb->take(), Lines{"06 00 21 30 01 03 0b"});
    ChipTestAccess::uploadThread(*ym(*cb), 0).join();
    EXPECT_EQ(ChipTestAccess::failedTransfers(*ym(*cb)), 1u);
    EXPECT_EQ(fake.calls(), (Lines{"SetBitMode d1 20", "Write 00", "GetBitMode low"})) << "no data after the header";
}

}  // namespace
}  // namespace vesk
