// What the host knows of a board's timeline, on the host's clock: when the
// board will have played everything sent to it, and which of the bytes sent
// it still holds.
//
// A board plays each datagram from the later of its arrival and the end of
// the one before, and keeps its bytes until it has played its last command.
// So a datagram that arrives while the board is still playing is timed by
// the board's own clock (it is chained): a leading wait carries the time from
// the end of the one before to its first write, and when it left does not
// matter. One that arrives after the board ran dry is timed by its arrival
// (it is anchored): the leading wait then counts from the moment it leaves,
// which the host reads just before sending.
//
// No clock reads and no locking here: the transport's sender owns one and
// passes the time in, so the rules can be checked with made-up times.
#ifndef VESK_TRANSPORT_BOARD_TIMELINE_H
#define VESK_TRANSPORT_BOARD_TIMELINE_H

#include <chrono>
#include <cstdint>
#include <algorithm>
#include <deque>

namespace vesk {

class BoardTimeline {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Duration = std::chrono::nanoseconds;

    // Bytes count as held this long after the board should have played them
    // (its lag aside, below): the error of the host's reckoning. Short enough
    // that the next datagram of a dense stream in a small buffer still finds
    // the one before it playing (512 bytes of 12-byte writes 50 us apart
    // play for 2 ms): with more, each waited for the board to run dry, was
    // timed by its departure, held longer still, and the stream fell behind.
    static constexpr Duration kHoldMargin = std::chrono::milliseconds(1);
    // An anchored datagram starts when it arrives, which only the link knows
    // (a wireless link delays datagrams by up to 5 ms, a send under Wine
    // leaves milliseconds after the call): the board may be this much behind
    // the reckoning from then on, every datagram chained to it too, until an
    // answer of the board's says how far it really is. More (10 ms) held a
    // dense stream in a 1 KiB buffer back 50 ms under Wine.
    static constexpr Duration kAnchorSlack = std::chrono::milliseconds(6);

    // bufferBytes: the buffer the board reported.
    explicit BoardTimeline(std::uint32_t bufferBytes);

    // When the board will have played everything sent (a time in the past
    // when it is idle).
    TimePoint end() const { return end_; }
    // Whether a datagram arriving at t would be chained.
    bool busyAt(TimePoint t) const { return end_ > t; }

    // The leading wait of a batch whose first write should sound at
    // firstWrite, leaving at now: from where the board will be when the
    // batch arrives, its end or, when it is idle by then, the arrival. A
    // sender that got out late (the board ran dry) shortens it by the
    // lateness; zero when even that is too late.
    Duration leadFor(TimePoint now, TimePoint firstWrite) const;

    // The earliest time, now or later, at which a datagram of length bytes
    // fits beside the bytes the board still holds. A datagram longer than
    // the whole buffer gets the time the board holds nothing.
    TimePoint roomAt(TimePoint now, std::uint32_t length);
    // Bytes held at t.
    std::uint32_t heldAt(TimePoint t) const;
    // How far behind the reckoning the board may be from the last datagram
    // on: what its hold, and those of the datagrams chained to it, are
    // extended by. kAnchorSlack after an anchored datagram, then what the
    // board's answers show. The holds of datagrams sent before an anchored
    // one keep their own lag: the board played them before it ran dry, and
    // holding them longer too kept a dense stream in a small buffer from
    // sending the next datagram in time, so that it ran dry again, and again.
    Duration lag() const { return lag_; }
    // How many datagrams sent() has taken: the last one's number.
    std::uint64_t sentCount() const { return sent_; }
    // Whether an answer has measured the lag since the last anchored datagram.
    bool lagMeasured() const { return lagMeasured_; }
    // An answer of the board's showed it `behind` the reckoning (an upper
    // bound: the answer's own way back and a late wake-up of the thread that
    // took it only make it look later). The lag is the least of the last
    // kLagAnswers since the board was anchored, so that one late wake-up
    // does not hold a stream back; but one answer more than kFarLag behind
    // counts at once: a board that plays a burst the system held back while
    // the link was down is full of it, and the buffer comes first.
    // syncAfter: the number (sentCount()) of the datagram the sync ended.
    // When the lag was raised by a datagram sent after it, the answer says
    // nothing of that one, only that the board has played the sync's own
    // and those before it: their bytes are free, the lag stays.
    static constexpr std::size_t kLagAnswers = 3;
    static constexpr Duration kFarLag = std::chrono::milliseconds(10);
    void measured(Duration behind, std::uint64_t syncAfter = UINT64_MAX);

    // A datagram of length bytes left at now, by a send call that returned
    // at `returned` (earlier than now: as now); the board spends `board` on
    // it (its waits, the leading one included, and its commands' own wait
    // bytes). Returns when the board starts it, as reckoned. A call that
    // returned after the board would run dry may have handed the datagram
    // to the link as late as that (under Wine a send call takes up to 6 ms
    // now and then): the board may then start it that much later than
    // reckoned, and the lag is raised to that until an answer measures it.
    TimePoint sent(TimePoint now, Duration board, std::uint32_t length, TimePoint returned = TimePoint());

    // The board's answers showed its timeline d later (d < 0: earlier) than
    // reckoned: a clock that runs slow or fast. The lag left is less by d.
    void shift(Duration d);

private:
    struct Held {
        TimePoint end;  // when the board should have played it
        std::uint32_t length;
        Duration lag;  // the lag when it was sent, or measured since
        std::uint64_t number;
    };
    static TimePoint until(const Held& h) { return h.end + kHoldMargin + h.lag; }
    // A later hold's lag is never less than an earlier's by more than the
    // time between their ends (sent() and measured() keep it so), so bytes
    // leave in the order sent.
    std::deque<Held> held_;
    TimePoint end_{};
    Duration lag_{};
    bool lagMeasured_ = false;
    std::uint64_t sent_ = 0;
    std::uint64_t raisedBy_ = 0;  // the datagram that last raised the lag
    std::deque<Duration> answers_;  // the last few measures of the lag, since the last anchor
    std::uint32_t buffer_;
};

// The board's answers to the syncs that measure its clock. Each offset is
// when an answer came less when the reckoning had the board reach its sync.
// An answer is late for reasons other than the board too (the way back, the
// receiving thread's wake-up), so: the first kWindow answers only learn the
// way back's delay (their smallest offset); after that, less that delay, the
// reckoning moves when all of the last kWindow answers agree that it is more
// than kDeadbandNs off, by the least of them (a crystal 100 ppm off drifts
// that far in 3 s at one answer per 500 ms), and at once when the last
// kFarAnswers answers all show the board more than kFarBehindNs behind (it
// played a burst the system held back while the link was down). One answer
// alone moves nothing either way: a late one may be a late wake-up, and an
// early one (under Wine) shows only that the first answers' way back was
// slow, not that the board runs ahead.
class ClockProbes {
public:
    static constexpr std::size_t kWindow = 6;
    static constexpr std::size_t kFarAnswers = 3;
    static constexpr std::int64_t kDeadbandNs = 300000;
    static constexpr std::int64_t kFarBehindNs = 10000000;

    // Takes one answer's offset (ns); returns how far to move the reckoning
    // (ns, 0: not at all). The offsets kept are moved with it.
    std::int64_t add(std::int64_t offsetNs);
    // How far behind the reckoning (after add's move) the last answer showed
    // the board, less the way back once learnt.
    std::int64_t lastBehindNs() const { return offsets_.empty() ? 0 : offsets_.back(); }

private:
    std::deque<std::int64_t> offsets_;  // less the way back's delay once learnt
    std::int64_t wayBackNs_ = 0;
    bool learnt_ = false;
};

}  // namespace vesk

#endif  // VESK_TRANSPORT_BOARD_TIMELINE_H
