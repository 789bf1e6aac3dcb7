// Manager lifecycle as a host sees it, without boards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/manager.h"
#include "platform/platform.h"

namespace vesk {
namespace {

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

}  // namespace
}  // namespace vesk
