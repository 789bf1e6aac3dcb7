// The per-board transport: turns the host's stream of commands into timed
// datagrams. Writes that follow each other closely form one batch, with wait
// commands recording the gaps between them; each write is due on the board
// waitMs after the host wrote it, so that the board replays the music with
// the host's timing.
//
// How a batch's time reaches the board (Timing):
// - BoardClock (the default): a batch leaves as soon as it is closed and the
//   board has room for it, and starts with a wait command that carries the
//   time from the end of what the board plays before it to its first write.
//   A batch that arrives while the board is still playing is timed by the
//   board's own clock, so the sender's wake-ups and a busy host never reach
//   the music; one that arrives at an idle board is timed from when it left.
//   While the host keeps writing, short wait-only datagrams keep the board's
//   timeline running between bursts, so that frame-based music stays chained
//   (a 5-byte datagram every half latency, at most 25 ms), and a sync at the end of a
//   datagram now and then, answered when the board reaches it, keeps the
//   host's reckoning on the board's crystal.
// - Departure: the first write of a batch carries no wait; the batch leaves
//   at its first write's time and the board plays it on arrival. For
//   firmware that takes datagrams only when they are due.
// In both, the bytes the board has not yet played plus the next datagram
// never exceed the buffer it reported (board_timeline.h): a datagram waits
// for room.
//
// A batch closes gapMs after its last write (not when a host gave its writes
// their times: it writes ahead in bursts), shortly before the board needs
// it (so a dense stream still leaves in time) or before it would outgrow its
// limit, whichever comes first: no datagram is longer than the board can
// take, and none is fragmented on a link whose MTU holds the board's buffer.
//
// Threads: a batcher closes batches into the ring and the send queue; a
// sender sends them (BoardClock: at once, or when there is room; Departure:
// at their first write's time) and the wait-only datagrams; a listener takes
// the answers to the sender's syncs (BoardClock only). Lock order: request
// mutex, then accumulation mutex, then queue mutex, then ring mutex, then
// board mutex; the io mutex is taken alone or last.
//
// Pushes are serialised by the accumulation mutex, requests by the request
// mutex (the callers' side of it in board_link.h).
#ifndef VESK_TRANSPORT_BOARD_TRANSPORT_H
#define VESK_TRANSPORT_BOARD_TRANSPORT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "transport/board_link.h"
#include "transport/board_timeline.h"
#include "transport/exchange.h"
#include "transport/ring_buffer.h"

namespace vesk {

enum class Timing { BoardClock, Departure };

class BoardTransport final : public BoardLink {
public:
    // socket: the board's bound UDP socket (not owned; the manager closes it).
    // boardAddress: standard IPv6 text, at most 64 characters are kept.
    // wait: the board's latency in ms; bufferSize: the board's buffer in bytes;
    // idleMs / gapMs: the board's settings. The threads are running on return.
    // Throws std::system_error when a thread cannot be started.
    BoardTransport(plat::Socket socket, const char* boardAddress, std::uint16_t wait, std::uint32_t bufferSize,
                   std::uint8_t idleMs, std::uint8_t gapMs, Timing timing = Timing::BoardClock);
    // Syncs with the board (everything queued has left and the board has
    // answered, or the time-out box was shown), sends a last 00 datagram and
    // joins both threads. The socket stays open.
    ~BoardTransport() override;

    BoardTransport(const BoardTransport&) = delete;
    BoardTransport& operator=(const BoardTransport&) = delete;

    // Appends a command sequence to the open batch, after a wait command for
    // the gap since the previous push. Returns at once unless the open batch
    // is full and the batcher has not yet taken it. A sequence longer than a
    // batch is split between commands.
    void push(const std::uint8_t* bytes, std::uint32_t length) override;

    // Drops the datagrams already waiting on the socket, pushes command, then
    // waits for the board's answer to it (transport/exchange.h: from the
    // board's address, matching code, target, item, register; a late reply
    // still owed to a request that gave up is taken as that one's), at most
    // min(waitMs, kMaxRequestWaitMs) + 500 ms + extraSeconds. The time-out
    // shows the "push recv" / "timeout" box first; an unusable socket gives
    // 0 at once, without it. Takes the request mutex.
    std::uint32_t request(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                          std::uint32_t capacity, std::uint32_t extraSeconds) override;

    // The longest a request waits for the board's latency, whatever the board
    // reported or the delay dialog set: a board claiming a 65-second latency
    // must not hold a host for that long on every request.
    static constexpr std::uint32_t kMaxRequestWaitMs = 5000;
    // The smallest batch: the largest single command (L is one byte) with the
    // two wait commands that may precede it, the leading wait and a sync. A
    // board that reported a buffer of 0 (or less than this) gets batches of
    // this size, so every command still fits.
    static constexpr std::uint32_t kMinBatchBytes = 278;

    std::uint32_t getBufferSize() const override { return bufferSize_; }
    const char* address() const override { return boardAddress_; }
    void holdKeepAlives(bool hold) override { keepAliveEnabled_.store(!hold); }
    bool keepAlivesHeld() const { return !keepAliveEnabled_.load(); }
    // Whether a datagram longer than one byte (music, not a keep-alive) went
    // out since the last call; the tray's busy icon.
    bool takeDataSent() { return dataSent_.exchange(false); }
    std::uint32_t getWaitMs() const { return waitMs_.load(); }
    // Takes effect for batches opened afterwards and for later requests.
    void setWaitMs(std::uint32_t ms) { waitMs_.store(ms > gapMs_ ? ms : gapMs_); }
    std::uint8_t getGapMs() const { return gapMs_; }
    // The most bytes one batch (one datagram) holds: half the board's buffer
    // (one datagram plays while the next waits on the board), at least
    // kMinBatchBytes, within the ring and one UDP datagram.
    std::uint32_t getBatchLimit() const { return batchLimit_; }

    // Sends that found no buffer space and were tried again, and datagrams
    // that could not be sent at all (keep-alives skipped for lack of space
    // are not failures). Both only grow.
    std::uint64_t sendRetries() const { return sendRetries_.load(); }
    std::uint64_t sendFailures() const { return sendFailures_.load(); }

    // Test seam: replaces the datagram send (plat::trySendTo) of the sender
    // thread. Call before pushing anything; null restores the real one.
    using SendFunction = plat::SendStatus (*)(plat::Socket, const void*, std::size_t, const plat::SockAddr6&);
    void setSendFunctionForTest(SendFunction f) { sendFunction_.store(f ? f : &plat::trySendTo); }

private:
    using Clock = std::chrono::steady_clock;
    enum class Kind : std::uint8_t { Batch, KeepAlive, Final };
    struct SendItem {
        Clock::time_point firstWrite;  // Batch: when its first write is due; else when it is due
        std::uint32_t length = 0;      // bytes in the ring (a batch without its leading wait)
        Kind kind = Kind::Batch;
        std::uint64_t batch = 0;  // its number among the closed batches; 0: not a batch
        std::int64_t bodyNs = 0;  // Batch: board time from its first write to its end
    };
    struct Unsent {  // a closed batch the sender has not reported sent
        std::uint64_t index;
        Clock::time_point firstWrite;
        std::int64_t bodyNs;
    };

    // Pushes at the host's time `at` (steady clock, ns; writetime::kByCall:
    // now), never before the previous push's.
    void pushAt(const std::uint8_t* bytes, std::uint32_t length, std::int64_t at);
    // Expects the accumulation mutex held (by lock). stamp: the write's host
    // time; now: the clock.
    void appendLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* bytes, std::uint32_t length,
                      Clock::time_point stamp, Clock::time_point now);
    void appendPieceLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* bytes, std::uint32_t length,
                           Clock::time_point stamp, Clock::time_point now);
    // Expects the accumulation mutex held; returns with it held and the open batch empty.
    void closeOpenBatchLocked(std::unique_lock<std::mutex>& lock);
    // Takes the queue and ring mutexes (none held on entry); waits for ring room.
    void enqueue(const std::uint8_t* bytes, std::uint32_t length, const SendItem& item);
    // When the board will have played every batch closed so far: the
    // sender's reckoning of what it sent, then each of the others played
    // from its first write. Expects the accumulation mutex held; takes the
    // board mutex.
    Clock::time_point boardFreeLocked();
    void pushFinal();
    void batcherLoop();
    void senderLoop();
    // BoardClock: when the board's timeline should next be extended by a
    // wait-only datagram (max() when it need not be). Takes the board mutex.
    Clock::time_point extensionDue(Clock::time_point now);
    void sendExtension();
    // Sends one item whose bytes are in sendBuffer_ + kLeadRoom: waits for
    // room on the board (and, with Departure, for its time), puts the
    // leading wait before a batch and now and then a sync after it.
    void sendItem(const SendItem& item);
    // Sends a sync alone, whose answer shows the board hears the host.
    // Takes the board mutex.
    void sendBareSync(Clock::time_point now);
    // Answers to the sender's syncs: each says where the board's timeline
    // really is; the sender's reckoning follows the smallest of the last few
    // offsets (a late wake-up here only ever makes an answer look later).
    void listenerLoop();
    // Sends one datagram, retrying while the system has no buffer space for
    // what is left of kSendRetryTime (tried once when nothing is); false when
    // it could not be sent. Sender thread only. Takes the io mutex for each
    // try only. A keep-alive is not retried: refused, it returns NoBuffer
    // and counts nothing; any other failure is counted and returns Error. On
    // Sent *leftAt is when the datagram left, as far as the host can tell,
    // and *returned when the call that sent it returned (it left no later).
    plat::SendStatus sendDatagram(const std::uint8_t* bytes, std::uint32_t length, bool keepAlive,
                                  Clock::time_point* leftAt, Clock::time_point* returned);

    plat::Socket socket_;
    char boardAddress_[65];
    const Timing timing_;
    std::atomic<bool> keepAliveEnabled_;
    std::atomic<bool> dataSent_;  // set after each datagram longer than one byte
    std::mutex ioMutex_;
    plat::SockAddr6 destination_;
    std::atomic<std::uint32_t> waitMs_;
    std::uint8_t gapMs_;
    std::unique_ptr<RingBuffer<unsigned char>> ring_;
    std::mutex ringMutex_;
    std::unique_ptr<std::uint8_t[]> sendBuffer_;  // kLeadRoom, then the item, then room for a sync
    std::uint32_t bufferSize_;
    std::uint32_t batchLimit_;  // bytes in one datagram
    std::uint32_t bodyLimit_;   // bytes in each of the batch buffers: the limit less a leading wait and a sync
    std::thread sender_, batcher_, listener_;
    std::chrono::milliseconds idle_;
    std::atomic<SendFunction> sendFunction_;
    std::atomic<std::uint64_t> sendRetries_{0};
    std::atomic<std::uint64_t> sendFailures_{0};
    Clock::duration refusedFor_{};  // sender thread: retry time spent since a datagram went out quickly

    std::mutex requestMutex_;              // held for a whole request
    std::atomic<int> requestsWaiting_{0};  // requests waiting for requestMutex_
    std::atomic<int> requestsIn_{0};       // requests begun and not yet returned
    OwedReplies owed_;                     // under requestMutex_: replies of requests that gave up

    // Under queueMutex_.
    std::mutex queueMutex_;
    std::condition_variable queueCond_;  // an item was queued, or the batcher finished
    std::condition_variable roomCond_;   // the sender freed ring room
    std::deque<SendItem> queue_;
    bool batcherFinished_ = false;

    // Under boardMutex_ (taken last, held for a few instructions): the
    // sender's reckoning of the board, from what it sent and when.
    std::mutex boardMutex_;
    BoardTimeline timeline_;
    std::uint64_t lastSentBatch_ = 0;
    // A sync the sender put at the end of a datagram, not yet answered.
    bool probeOut_ = false;
    bool probesOff_ = false;            // the board answers syncs on arrival: they tell nothing
    int earlyAnswers_ = 0;              // answers in a row that came before the board could reach its sync
    Clock::time_point probeDue_{};      // when the board should reach it
    bool probeTimesClock_ = false;      // its answer goes to probes_ too, not only to the lag
    std::uint64_t probeAfter_ = 0;      // the number of the datagram it ended (timeline_.sentCount())
    Clock::time_point lastProbe_{};     // when the last one left
    ClockProbes probes_;
    // A send failed (the link is down): music is dropped rather than left to
    // the system, which would queue it for a neighbour it cannot reach and
    // hand the board seconds of stale music at once when the link is back.
    // A bare sync goes out now and then; the board's answer ends it.
    bool unheard_ = false;
    bool gateProbe_ = false;  // the sync out is such a bare one
    Clock::time_point lastGateProbe_{};
    std::condition_variable probeCond_;  // a probe left, or the sender finished
    std::condition_variable lagCond_;    // an answer showed the board's lag, or the sync out was settled
    bool senderFinished_ = false;

    // Pushes as the sender sees them without the accumulation mutex: the
    // last one's host time, and the first write's time of the open batch
    // (max: none).
    std::atomic<std::int64_t> lastPushNs_{0};
    std::atomic<std::int64_t> openFirstWriteNs_;

    // Under accMutex_.
    std::mutex accMutex_;
    Clock::time_point lastPush_;  // the last push's host time
    std::condition_variable batchCond_;  // a batch was opened, or its close was asked for
    std::condition_variable takenCond_;  // the batcher took the open batch
    std::unique_ptr<std::uint8_t[]> accBuffer_;
    std::unique_ptr<std::uint8_t[]> closedBuffer_;  // batcher only: the batch being moved to the ring
    std::uint32_t accLength_ = 0;
    // Where the board's timeline stands after everything pushed, by the plan:
    // each write at its push time + waitMs, or as soon as the board is free.
    Clock::time_point cursor_{};
    Clock::time_point firstWrite_;  // the open batch's first write, on the board's timeline
    Clock::time_point closeBy_;     // the open batch closes by then, whatever comes
    std::uint64_t closedBatches_ = 0;
    std::deque<Unsent> unsent_;
    Clock::time_point lastAppend_;
    bool closeRequested_ = false;
    bool openTimed_ = false;  // the open batch holds a write a host gave its time
    bool finalPushed_ = false;
};

}  // namespace vesk

#endif  // VESK_TRANSPORT_BOARD_TRANSPORT_H
