// The byte ring: capacity rule, split copies, overrun rule, short reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "transport/ring_buffer.h"

namespace vesk {
namespace {

using Ring = RingBuffer<unsigned char>;

std::vector<unsigned char> seq(unsigned from, unsigned n) {
    std::vector<unsigned char> v(n);
    for (unsigned i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(from + i);
    return v;
}

TEST(Ring, CapacityIsNextPowerOfTwoAtLeastTwo) {
    const struct {
        std::uint32_t requested, capacity;
    } cases[] = {{0, 2}, {1, 2}, {2, 2}, {3, 4}, {4, 4}, {5, 8}, {3000, 4096}, {4096, 4096}, {4097, 8192}};
    for (const auto& c : cases) {
        Ring r(c.requested);
        EXPECT_EQ(r.capacity(), c.capacity) << c.requested;
        EXPECT_EQ(r.mask(), c.capacity - 1) << c.requested;
        EXPECT_EQ(r.count(), 0u);
    }
}

// Moves both indices to pos by writing and reading pos bytes.
void advanceTo(Ring& r, std::uint32_t pos) {
    std::vector<unsigned char> junk(pos);
    r.write(junk.data(), pos);
    ASSERT_TRUE(r.read(junk.data(), pos));
}

TEST(Ring, BlockWriteSplitsAtTheEnd) {
    Ring r(16);
    advanceTo(r, 12);
    auto data = seq(1, 10);
    r.write(data.data(), 10);
    EXPECT_EQ(r.writeIndex(), 6u);
    EXPECT_EQ(r.count(), 10u);
    std::vector<unsigned char> out(10);
    ASSERT_TRUE(r.read(out.data(), 10));
    EXPECT_EQ(out, data);
    EXPECT_EQ(r.readIndex(), 6u);
    EXPECT_EQ(r.count(), 0u);
}

TEST(Ring, BlockWriteUpToTheEndWrapsIndexToZero) {
    Ring r(16);
    advanceTo(r, 10);
    auto data = seq(40, 6);
    r.write(data.data(), 6);
    EXPECT_EQ(r.writeIndex(), 0u);
    std::vector<unsigned char> out(6);
    ASSERT_TRUE(r.read(out.data(), 6));
    EXPECT_EQ(out, data);
    EXPECT_EQ(r.readIndex(), 0u);
}

TEST(Ring, OverrunKeepsNewestBytesOldestFirst) {
    Ring r(8);
    auto a = seq(1, 6);
    auto b = seq(100, 5);
    r.write(a.data(), 6);
    r.write(b.data(), 5);  // 3 bytes over
    EXPECT_EQ(r.count(), 8u);
    EXPECT_EQ(r.readIndex(), r.writeIndex());
    std::vector<unsigned char> out(8);
    ASSERT_TRUE(r.read(out.data(), 8));
    EXPECT_EQ(out, (std::vector<unsigned char>{4, 5, 6, 100, 101, 102, 103, 104}));
}

TEST(Ring, SingleByteIntoFullRingAdvancesBothIndices) {
    Ring r(4);
    auto a = seq(1, 4);
    r.write(a.data(), 4);
    ASSERT_EQ(r.count(), 4u);
    std::uint32_t w = r.writeIndex();
    r.write(static_cast<unsigned char>(9));
    EXPECT_EQ(r.count(), 4u);
    EXPECT_EQ(r.writeIndex(), (w + 1) & 3u);
    EXPECT_EQ(r.readIndex(), r.writeIndex());
    std::vector<unsigned char> out(4);
    ASSERT_TRUE(r.read(out.data(), 4));
    EXPECT_EQ(out, (std::vector<unsigned char>{2, 3, 4, 9}));
}

TEST(Ring, ReadOfMoreThanCountChangesNothing) {
    Ring r(8);
    auto a = seq(1, 3);
    r.write(a.data(), 3);
    std::vector<unsigned char> out(4, 0xEE);
    EXPECT_FALSE(r.read(out.data(), 4));
    EXPECT_EQ(out, std::vector<unsigned char>(4, 0xEE));
    EXPECT_EQ(r.count(), 3u);
    EXPECT_EQ(r.readIndex(), 0u);
    ASSERT_TRUE(r.read(out.data(), 3));
    EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + 3), a);
}

TEST(Ring, BlockLongerThanCapacityKeepsItsTail) {
    Ring r(4);
    auto a = seq(1, 10);
    r.write(a.data(), 10);
    EXPECT_EQ(r.count(), 4u);
    std::vector<unsigned char> out(4);
    ASSERT_TRUE(r.read(out.data(), 4));
    EXPECT_EQ(out, (std::vector<unsigned char>{7, 8, 9, 10}));
}

// Many mixed-size writes and reads against a plain FIFO model.
TEST(Ring, MatchesFifoModelAcrossManyWraps) {
    Ring r(64);
    std::vector<unsigned char> model;
    std::uint32_t seed = 12345;
    auto rnd = [&](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    unsigned char next = 0;
    for (int step = 0; step < 5000; ++step) {
        if (rnd(2) == 0) {
            std::uint32_t n = 1 + rnd(64 - static_cast<std::uint32_t>(model.size()) + 1);
            if (model.size() + n > 64) continue;
            std::vector<unsigned char> d(n);
            for (auto& b : d) b = next++;
            if (n == 1)
                r.write(d[0]);
            else
                r.write(d.data(), n);
            model.insert(model.end(), d.begin(), d.end());
        } else if (!model.empty()) {
            std::uint32_t n = 1 + rnd(static_cast<std::uint32_t>(model.size()));
            std::vector<unsigned char> out(n);
            ASSERT_TRUE(r.read(out.data(), n));
            ASSERT_EQ(out, std::vector<unsigned char>(model.begin(), model.begin() + n)) << "step " << step;
            model.erase(model.begin(), model.begin() + n);
        }
        ASSERT_EQ(r.count(), model.size());
    }
}

}  // namespace
}  // namespace vesk
