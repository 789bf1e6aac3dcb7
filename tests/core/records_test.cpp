// The two records are an interface between deliverables built by different
// compilers: their layout is checked field by field against the published
// table, and the manager's copy operations against their capacity rules.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "core/manager.h"

namespace vesk {

struct ManagerTestAccess {
    static void setBoards(Manager& m, std::uint32_t n) {
        m.boards_.allocate(n);
        for (std::uint32_t i = 0; i < n; ++i) m.boards_.records()[i].sendPort = static_cast<std::uint16_t>(50003 + i);
        m.boardCount_ = n;
    }
    static void setChips(Manager& m, std::uint32_t n) {
        m.chipInfo_ = std::make_unique<VeskChipInfo[]>(n);
        for (std::uint32_t i = 0; i < n; ++i) m.chipInfo_[i].slot = i;
        m.chipCount_ = n;
    }
};

namespace {

struct Field {
    const char* name;
    std::size_t offset;
    std::size_t expected;
};

TEST(Records, BoardInfoLayout) {
    EXPECT_EQ(sizeof(VeskBoardInfo), 232u);
    const Field fields[] = {
        {"firmwareVersion", offsetof(VeskBoardInfo, firmwareVersion), 0},
        {"listenPort", offsetof(VeskBoardInfo, listenPort), 4},
        {"sendPort", offsetof(VeskBoardInfo, sendPort), 6},
        {"waitMs", offsetof(VeskBoardInfo, waitMs), 8},
        {"bufferSize", offsetof(VeskBoardInfo, bufferSize), 12},
        {"name", offsetof(VeskBoardInfo, name), 16},
        {"protocol", offsetof(VeskBoardInfo, protocol), 48},
        {"localAddress", offsetof(VeskBoardInfo, localAddress), 52},
        {"localIPv4", offsetof(VeskBoardInfo, localIPv4), 117},
        {"boardAddress", offsetof(VeskBoardInfo, boardAddress), 139},
        {"boardIPv4", offsetof(VeskBoardInfo, boardIPv4), 204},
        {"slotCount", offsetof(VeskBoardInfo, slotCount), 228},
    };
    for (const auto& f : fields) EXPECT_EQ(f.offset, f.expected) << f.name;
}

TEST(Records, ChipInfoLayout) {
    EXPECT_EQ(sizeof(VeskChipInfo), 148u);
    const Field fields[] = {
        {"variableClock", offsetof(VeskChipInfo, variableClock), 0},
        {"hardwareReset", offsetof(VeskChipInfo, hardwareReset), 1},
        {"clock", offsetof(VeskChipInfo, clock), 4},
        {"name", offsetof(VeskChipInfo, name), 8},
        {"extInfo", offsetof(VeskChipInfo, extInfo), 24},
        {"slot", offsetof(VeskChipInfo, slot), 56},
        {"address", offsetof(VeskChipInfo, address), 60},
    };
    for (const auto& f : fields) EXPECT_EQ(f.offset, f.expected) << f.name;
}

// Hosts allocate arrays of records: element stride must be the record size.
TEST(Records, ArraysArePacked) {
    VeskBoardInfo boards[2];
    VeskChipInfo chips[2];
    EXPECT_EQ(reinterpret_cast<char*>(&boards[1]) - reinterpret_cast<char*>(&boards[0]), 232);
    EXPECT_EQ(reinterpret_cast<char*>(&chips[1]) - reinterpret_cast<char*>(&chips[0]), 148);
}

class CopyOps : public ::testing::Test {
protected:
    void SetUp() override {
        m = static_cast<Manager*>(getManager());
        ManagerTestAccess::setBoards(*m, 3);
        ManagerTestAccess::setChips(*m, 2);
    }
    void TearDown() override { m->release(); }
    Manager* m = nullptr;
};

TEST_F(CopyOps, BoardCapacityRules) {
    std::vector<VeskBoardInfo> dst(5);
    std::memset(dst.data(), 0xAB, dst.size() * sizeof(VeskBoardInfo));

    m->getBoardInfo(nullptr, 5);  // must not crash
    m->getBoardInfo(dst.data(), 0);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(dst.data())[0], 0xAB) << "capacity 0 wrote";

    m->getBoardInfo(dst.data(), 2);
    EXPECT_EQ(dst[1].sendPort, 50004);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&dst[2])[0], 0xAB) << "wrote past capacity";

    m->getBoardInfo(dst.data(), 5);  // oversized: exactly the count
    EXPECT_EQ(dst[2].sendPort, 50005);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&dst[3])[0], 0xAB) << "wrote past the count";
    // Reserved bytes travel as zero.
    EXPECT_EQ(dst[0].reserved0[0] | dst[0].reserved0[1] | dst[0].reserved1[0] | dst[0].reserved1[1], 0);
}

TEST_F(CopyOps, ChipCapacityRules) {
    std::vector<VeskChipInfo> dst(4);
    std::memset(dst.data(), 0xCD, dst.size() * sizeof(VeskChipInfo));
    m->getChipInfo(nullptr, 4);
    m->getChipInfo(dst.data(), 0);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(dst.data())[0], 0xCD);
    m->getChipInfo(dst.data(), 4);
    EXPECT_EQ(dst[1].slot, 1u);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&dst[2])[0], 0xCD);
    for (unsigned char b : dst[0].reserved1) EXPECT_EQ(b, 0);
}

}  // namespace
}  // namespace vesk
