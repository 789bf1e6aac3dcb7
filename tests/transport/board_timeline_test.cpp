// The host's reckoning of a board's timeline, with made-up times: where a
// batch's leading wait counts from, and when the board has room.
#include "transport/board_timeline.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

using namespace std::chrono_literals;
using TimePoint = BoardTimeline::TimePoint;
const TimePoint t0 = TimePoint(std::chrono::seconds(100));
const auto kHeld = BoardTimeline::kHoldMargin;
const auto kAnchored = BoardTimeline::kHoldMargin + BoardTimeline::kAnchorSlack;

// The board has played up to `end` (relative to t0, by one datagram sent at
// t0 - 1 s, long over, and then one of `board` time sent so that it ends
// there); a batch whose first write is due at `firstWrite` leaves at `now`.
TEST(BoardTimeline, LeadingWaitRule) {
    const struct {
        const char* name;
        std::chrono::microseconds end, now, firstWrite, lead, start;
        bool chained;
    } cases[] = {
        {"board busy at arrival: from its end", 10000us, 0us, 15000us, 5000us, 10000us, true},
        {"board idle: from the departure", -5000us, 0us, 20000us, 20000us, 0us, false},
        {"late sender: shortened by the lateness", -3000us, 0us, 2000us, 2000us, 0us, false},
        {"later than the first write: none", -3000us, 0us, -1000us, 0us, 0us, false},
        {"first write before the board is free: none", 10000us, 0us, 8000us, 0us, 10000us, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BoardTimeline tl(16384);
        const TimePoint before = t0 + c.end - 100ms;
        tl.sent(before, 100ms, 10);
        ASSERT_EQ(tl.end(), t0 + c.end);
        EXPECT_EQ(tl.busyAt(t0 + c.now), c.chained);
        const auto lead = tl.leadFor(t0 + c.now, t0 + c.firstWrite);
        EXPECT_EQ(lead, c.lead);
        EXPECT_EQ(tl.sent(t0 + c.now, lead + 1ms, 10), t0 + c.start);
        EXPECT_EQ(tl.end(), t0 + c.start + lead + 1ms);
    }
}

// Bytes are held until played, plus a margin and the board's possible lag
// (the link may deliver an anchored datagram late, and every datagram
// chained to it with it); a datagram waits until it fits.
TEST(BoardTimeline, RoomRule) {
    BoardTimeline tl(1024);
    tl.sent(t0, 10ms, 600);  // anchored: held to t0 + 10 ms + the anchored margin
    tl.sent(t0, 5ms, 300);   // chained to it: held to t0 + 15 ms + the same
    const TimePoint first = t0 + 10ms + kAnchored, second = t0 + 15ms + kAnchored;
    EXPECT_EQ(tl.heldAt(t0), 900u);
    const struct {
        const char* name;
        TimePoint now;
        std::uint32_t length;
        TimePoint room;
    } cases[] = {
        {"fits beside both", t0, 124, t0},
        {"one byte over", t0, 125, first},
        {"after the first frees", t0, 500, first},
        {"longer than the buffer: when all is played", t0, 2000, second},
        {"once both are played", second, 1024, second},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(tl.roomAt(c.now, c.length), c.room);
    }
}

// The lag every hold is extended by: the anchor's slack until the board
// answers, then what its answers show; the clock moves take it along.
TEST(BoardTimeline, LagRule) {
    using us = std::chrono::microseconds;
    const us slack = std::chrono::duration_cast<us>(BoardTimeline::kAnchorSlack);
    const struct {
        const char* name;
        std::vector<us> answers;
        us shift, idleThenAnchor, lag;
    } cases[] = {
        {"anchored, no answer yet", {}, 0us, 0us, slack},
        {"an answer 300 us behind", {300us}, 0us, 0us, 300us},
        {"an answer ahead: no lag", {-2000us}, 0us, 0us, 0us},
        {"one late answer among prompt ones: the least", {300us, 4000us}, 0us, 0us, 300us},
        {"three late ones in a row: the least of them", {300us, 4000us, 5000us, 4500us}, 0us, 0us, 4000us},
        {"one far behind (a stale burst): at once", {300us, 400us, 60000us}, 0us, 0us, 60000us},
        {"a clock move takes its part", {5000us}, 2000us, 0us, 3000us},
        {"far behind (a stale burst), then anchored 4 ms after its end", {50000us}, 0us, 4000us, 46000us},
        {"a little behind, then anchored again: the slack", {300us}, 0us, 4000us, slack},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BoardTimeline tl(1024);
        tl.sent(t0, 10ms, 500);
        for (us a : c.answers) tl.measured(a);
        if (c.shift != 0us) tl.shift(c.shift);
        if (c.idleThenAnchor != 0us) tl.sent(tl.end() + c.idleThenAnchor, 1ms, 10);
        EXPECT_EQ(tl.lag(), c.lag);
        EXPECT_EQ(tl.lagMeasured(), !c.answers.empty() && c.idleThenAnchor == 0us);
        const TimePoint end = tl.end() - (c.idleThenAnchor != 0us ? 1ms : 0ms);
        if (c.idleThenAnchor == 0us) {
            EXPECT_EQ(tl.heldAt(end + kHeld + c.lag - 1us), 500u);
            EXPECT_EQ(tl.heldAt(end + kHeld + c.lag), 0u);
        }
    }
}

// A send call that returned after the board would run dry may have handed
// its datagram over that late; a datagram anchored after the board ran dry
// leaves the holds of those it played before as they were. The first
// datagram (500 bytes) ends at t0 + 10 ms with a measured lag of 300 us; the
// second (100 bytes, 5 ms) is sent and returns at times relative to that.
TEST(BoardTimeline, LateReturnRule) {
    const auto slack = std::chrono::duration_cast<std::chrono::microseconds>(BoardTimeline::kAnchorSlack);
    const struct {
        const char* name;
        std::chrono::microseconds left, returned, lag;
        bool measured;
    } cases[] = {
        {"chained, returned before the board ran dry: as it was", -3000us, -1000us, 300us, true},
        {"chained, returned after it ran dry: behind by as much", -3000us, 2000us, 2000us, false},
        {"chained, returned within the lag: as it was", -1000us, 200us, 300us, true},
        {"anchored, a quick call: the slack", 1000us, 1200us, slack, false},
        {"anchored, a call longer than the slack: its length", 1000us, 9000us, 8000us, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BoardTimeline tl(1024);
        tl.sent(t0, 10ms, 500);
        tl.measured(300us);
        const TimePoint end = t0 + 10ms;
        const TimePoint start = tl.sent(end + c.left, 5ms, 100, end + c.returned);
        EXPECT_EQ(tl.lag(), c.lag);
        EXPECT_EQ(tl.lagMeasured(), c.measured);
        // The first datagram's bytes leave by its own lag, whatever came after.
        const TimePoint firstFree = end + kHeld + 300us, secondFree = start + 5ms + kHeld + c.lag;
        EXPECT_EQ(tl.heldAt(firstFree - 1us), 600u);
        EXPECT_EQ(tl.heldAt(firstFree), 100u);
        EXPECT_EQ(tl.heldAt(secondFree - 1us), 100u);
        EXPECT_EQ(tl.heldAt(secondFree), 0u);
    }
}

// An answer to a sync that ended a datagram sent before the lag was last
// raised frees that datagram's bytes and those before it, and measures
// nothing after it. #1 (500 bytes) ends at t0 + 10 ms, #2 (300) is chained
// to it until 15 ms, #3 (200) is anchored at 16 ms for 5 ms.
TEST(BoardTimeline, AnswerBeforeTheRaiseRule) {
    const auto slack = std::chrono::duration_cast<std::chrono::microseconds>(BoardTimeline::kAnchorSlack);
    const struct {
        const char* name;
        std::uint64_t syncAfter;
        std::uint32_t held;  // at 16 ms
        std::chrono::microseconds lag;
        bool measured;
    } cases[] = {
        {"the sync after #2: #1 and #2 free, the lag stays", 2, 200, slack, false},
        {"the sync after #3: the lag measured for all", 3, 500, 500us, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BoardTimeline tl(1024);
        tl.sent(t0, 10ms, 500);
        tl.measured(300us);
        tl.sent(t0 + 5ms, 5ms, 300);
        tl.sent(t0 + 16ms, 5ms, 200);
        ASSERT_EQ(tl.sentCount(), 3u);
        tl.measured(500us, c.syncAfter);
        EXPECT_EQ(tl.heldAt(t0 + 16ms), c.held);
        EXPECT_EQ(tl.lag(), c.lag);
        EXPECT_EQ(tl.lagMeasured(), c.measured);
    }
}

// An answer that shows the board's clock behind moves its end and the holds.
TEST(BoardTimeline, ShiftMovesEndAndHolds) {
    BoardTimeline tl(1024);
    tl.sent(t0, 10ms, 1000);
    tl.shift(300us);
    EXPECT_EQ(tl.end(), t0 + 10300us);
    EXPECT_EQ(tl.heldAt(t0 + 10300us + kAnchored - 300us - 1us), 1000u);
    EXPECT_EQ(tl.heldAt(t0 + 10300us + kAnchored - 300us), 0u);
}

}  // namespace
}  // namespace vesk

namespace vesk {
namespace {

// The clock syncs' answers: offsets in us, one per answer after the six that
// learn the way back's delay (500 us here); the shifts they make, in us.
TEST(ClockProbes, FollowTheBoardNotTheWayBack) {
    const struct {
        const char* name;
        std::vector<std::int64_t> afterLearning;  // offsets, us
        std::vector<std::int64_t> shifts;         // the non-zero shifts, in order, us
    } cases[] = {
        {"a steady way back: nothing", {500, 520, 700, 500, 510, 530, 505, 500}, {}},
        {"one late wake-up: nothing", {500, 500, 9000, 500, 500, 500, 500}, {}},
        {"a slow crystal: once the window agrees", {600, 700, 800, 900, 1000, 1100, 1200, 1300, 1400, 1500}, {400}},
        {"a fast crystal: once the window agrees", {150, 100, 100, 100, 100, 100, 100}, {-350}},
        {"one early answer (the way back was slow at first): nothing", {500, 500, 30, 500, 500, 500, 500}, {}},
        {"far behind three times: at once", {500, 30500, 30600, 30700}, {30000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClockProbes p;
        for (int i = 0; i < 6; ++i) EXPECT_EQ(p.add(500000 + 10000 * (i % 2)), 0);
        std::vector<std::int64_t> shifts;
        for (std::int64_t us : c.afterLearning)
            if (const std::int64_t s = p.add(us * 1000)) shifts.push_back(s / 1000);
        EXPECT_EQ(shifts, c.shifts);
    }
}

}  // namespace
}  // namespace vesk
