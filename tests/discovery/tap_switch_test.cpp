#include <gtest/gtest.h>

#include <chrono>

#include "discovery/tap_switch.h"

namespace vesk {
namespace {

// The test keeps its own handle on the fake, so its recorded calls outlive
// the TapSwitch's unload.
class TapSwitchTest : public ::testing::Test {
protected:
    std::string path(const char* variant) {
        std::string dir = plat::directoryOf(plat::modulePath(reinterpret_cast<const void*>(&plat::modulePath)));
        return dir + plat::sharedLibraryName(std::string("fake_tap_switch_") + variant);
    }
    void load(const char* variant, int count) {
        module = plat::loadModule(path(variant));
        ASSERT_NE(module, nullptr) << path(variant);
        configure = reinterpret_cast<void (*)(int)>(plat::findSymbol(module, "fakeTapConfigure"));
        calls = reinterpret_cast<const char* (*)()>(plat::findSymbol(module, "fakeTapCalls"));
        configure(count);
    }
    void TearDown() override { plat::unloadModule(module); }

    plat::Module module = nullptr;
    void (*configure)(int) = nullptr;
    const char* (*calls)() = nullptr;
};

TEST_F(TapSwitchTest, OnlySwitchZeroIsOperatedAndTheWaitIsHonoured) {
    load("full", 3);
    TapSwitch tap;
    tap.settleTime = std::chrono::milliseconds(50);
    auto t0 = std::chrono::steady_clock::now();
    tap.setUp(path("full"));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
    EXPECT_EQ(tap.count(), 3u);
    EXPECT_STREQ(calls(), "num;switch 0 1;");
    tap.release();
    EXPECT_STREQ(calls(), "num;switch 0 1;switch 0 0;");
    EXPECT_FALSE(tap.loaded());
}

TEST_F(TapSwitchTest, ZeroSwitchesNeverSwitchesNorWaits) {
    load("full", 0);
    TapSwitch tap;  // default 8 s wait: the test would time out if it waited
    auto t0 = std::chrono::steady_clock::now();
    tap.setUp(path("full"));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(tap.loaded());
    tap.release();
    EXPECT_STREQ(calls(), "num;");
    EXPECT_FALSE(tap.loaded());
}

TEST_F(TapSwitchTest, LibraryLackingAnEntryPointIsAbsent) {
    load("partial", 2);
    TapSwitch tap;
    tap.setUp(path("partial"));
    EXPECT_FALSE(tap.loaded());
    EXPECT_EQ(tap.count(), 0u);
    EXPECT_STREQ(calls(), "") << "called into a library it should treat as absent";
    tap.release();
}

TEST_F(TapSwitchTest, MissingLibraryIsSilent) {
    TapSwitch tap;
    tap.setUp(path("none"));
    EXPECT_FALSE(tap.loaded());
    tap.release();
}

}  // namespace
}  // namespace vesk
