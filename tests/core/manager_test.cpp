// Manager lifecycle as a host sees it, without boards, and what it leaves
// when an allocation fails inside it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/alloc_hooks.h"
#include "core/manager.h"
#include "platform/platform.h"
#include "transport/board_transport.h"

namespace vesk {

struct ManagerAllocationAccess {
    // One board endpoint on no socket (its transport's sends and receives
    // fail at once), with its record and settings.
    static void setOneEndpoint(Manager& m) {
        m.endpoints_.push_back(BoardEndpoint{plat::kInvalidSocket, "fe80::1", "fe80::2", 50003});
        m.boards_.allocate(1);
        m.boards_.records()[0].waitMs = 20;
        m.boards_.records()[0].bufferSize = 1024;
        m.boards_.settings()[0] = BoardSettings{50, 2};
        m.boardCount_ = 1;
    }
    static void startTransports(Manager& m) { m.startTransportsStep(); }
    static std::size_t transports(Manager& m) { return m.boards_.transportCount(); }
};

namespace {

int threadsSettledAt(int limit) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (plat::processThreadCount() > limit && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return plat::processThreadCount();
}

TEST(Manager, EachCallBuildsANewManager) {
    VeskManager* a = getManager();
    VeskManager* b = getManager();
    EXPECT_NE(a, nullptr);
    EXPECT_NE(a, b);
    a->release();
    b->release();
}

TEST(Manager, FreshManagerIsEmpty) {
    VeskManager* m = getManager();
    EXPECT_EQ(m->getBoardCount(), 0u);
    EXPECT_EQ(m->getChipCount(), 0u);
    VeskBoardInfo b{};
    b.sendPort = 7;
    m->getBoardInfo(&b, 1);
    EXPECT_EQ(b.sendPort, 7) << "copied a record before init";
    m->release();  // release without init is clean
}

TEST(Manager, LibraryDirectoryEndsWithSeparator) {
    const std::string& dir = libraryLocation().directory;
    ASSERT_FALSE(dir.empty());
    char last = dir.back();
    EXPECT_TRUE(last == '/' || last == '\\') << dir;
    EXPECT_NE(libraryLocation().module, nullptr);
}

// init is a host's call: an allocation that fails in it (here the first)
// ends it with no boards, not with an exception in the host.
TEST(Manager, InitThatRunsOutOfMemoryLeavesNoBoards) {
    VeskManager* m = getManager();
    test::failAllocationNumber(1);
    EXPECT_NO_THROW(m->init());
    const bool failed = test::allocationFailed();
    test::failAllocationNumber(0);
    EXPECT_TRUE(failed);
    EXPECT_EQ(m->getBoardCount(), 0u);
    EXPECT_EQ(m->getChipCount(), 0u);
    EXPECT_EQ(m->getChip("YM2151", 4000000), nullptr);
    EXPECT_NO_THROW(m->release());
}

// Each allocation of the transport step fails in turn: a transport made
// before the failure is either in the manager's list or gone, its threads
// with it, never left running outside it.
TEST(Manager, TransportStepLeaksNoTransportWhenAnAllocationFails) {
    // ThreadSanitizer starts a thread of its own at the first thread a
    // program creates: let it exist before the count.
    std::thread([] {}).join();
    const int threadsBefore = plat::processThreadCount();
    int failures = 0;
    for (long n = 1; n < 1000; ++n) {
        auto* m = static_cast<Manager*>(getManager());
        ManagerAllocationAccess::setOneEndpoint(*m);
        test::failAllocationNumber(n);
        bool threw = false;
        try {
            ManagerAllocationAccess::startTransports(*m);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        const bool failed = test::allocationFailed();
        test::failAllocationNumber(0);
        if (threw) {
            EXPECT_EQ(ManagerAllocationAccess::transports(*m), 0u) << "allocation " << n;
        }
        m->release();
        EXPECT_LE(threadsSettledAt(threadsBefore), threadsBefore) << "allocation " << n << " left a transport running";
        if (!failed) break;
        ++failures;
    }
    EXPECT_GT(failures, 3);
}

}  // namespace
}  // namespace vesk
