// The per-board transport: turns the host's stream of commands into timed
// datagrams. Writes that follow each other closely form one batch, with wait
// commands recording the gaps between them; each batch leaves waitMs after
// its first write, so that the board replays it with the host's timing.
//
// A batch closes gapMs after its last write, shortly before its deadline (so
// a dense stream still leaves on time) or before it would outgrow the board's
// buffer, whichever comes first: no datagram is longer than the board can
// take, and none is fragmented on a link whose MTU holds the board's buffer.
//
// Threads: a batcher closes batches into the ring and the send queue; a
// sender sleeps until each batch's deadline and sends it. Lock order:
// request mutex, then accumulation mutex, then queue mutex, then ring mutex;
// the io mutex is taken alone.
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
#include "transport/exchange.h"
#include "transport/ring_buffer.h"

namespace vesk {

class BoardTransport final : public BoardLink {
public:
    // socket: the board's bound UDP socket (not owned; the manager closes it).
    // boardAddress: standard IPv6 text, at most 64 characters are kept.
    // wait: the board's latency in ms; bufferSize: the board's buffer in bytes;
    // idleMs / gapMs: the board's settings. Both threads are running on return.
    // Throws std::system_error when a thread cannot be started.
    BoardTransport(plat::Socket socket, const char* boardAddress, std::uint16_t wait, std::uint32_t bufferSize,
                   std::uint8_t idleMs, std::uint8_t gapMs);
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
    // two wait commands that may precede it. A board that reported a buffer
    // of 0 (or less than this) gets batches of this size, so every command
    // still fits.
    static constexpr std::uint32_t kMinBatchBytes = 266;

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
    // The most bytes one batch (one datagram) holds: the board's buffer size
    // (at least kMinBatchBytes), within the ring and one UDP datagram.
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
    struct SendItem {
        Clock::time_point deadline;
        std::uint32_t length = 0;
        bool keepAlive = false;    // may be skipped when the system has no room
        std::uint64_t batch = 0;   // its number among the closed batches; 0: not a batch
        std::int64_t boardNs = 0;  // the board's time for it: waits and own wait bytes
    };
    struct Unsent {  // a closed batch the sender has not reported sent
        std::uint64_t index;
        Clock::time_point deadline;
        std::int64_t boardNs;
    };

    // Expects the accumulation mutex held (by lock).
    void appendLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* bytes, std::uint32_t length,
                      Clock::time_point now);
    void appendPieceLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* bytes, std::uint32_t length,
                           Clock::time_point now);
    // Expects the accumulation mutex held; returns with it held and the open batch empty.
    void closeOpenBatchLocked(std::unique_lock<std::mutex>& lock);
    // Takes the queue and ring mutexes (none held on entry); waits for ring room.
    void enqueue(const std::uint8_t* bytes, std::uint32_t length, Clock::time_point deadline, bool keepAlive = false,
                 std::uint64_t batch = 0, std::int64_t boardNs = 0);
    // When the board will have played every batch closed so far: from when
    // the sender saw it end those already sent, then each of the others
    // arriving at its deadline. Expects the accumulation mutex held; takes
    // the board mutex.
    Clock::time_point boardFreeLocked();
    void pushFinal();
    void batcherLoop();
    void senderLoop();
    // Sends one datagram, retrying while the system has no buffer space for
    // what is left of kSendRetryTime (tried once when nothing is); false when
    // it could not be sent. Sender thread only. Takes the io mutex for each
    // try only. A keep-alive is not retried. On success *leftAt is when the
    // datagram left, as far as the host can tell.
    bool sendDatagram(const std::uint8_t* bytes, std::uint32_t length, bool keepAlive, Clock::time_point* leftAt);

    plat::Socket socket_;
    char boardAddress_[65];
    std::atomic<bool> keepAliveEnabled_;
    std::atomic<bool> dataSent_;  // set after each datagram longer than one byte
    std::mutex ioMutex_;
    plat::SockAddr6 destination_;
    std::atomic<std::uint32_t> waitMs_;
    std::uint8_t gapMs_;
    std::unique_ptr<RingBuffer<unsigned char>> ring_;
    std::mutex ringMutex_;
    std::unique_ptr<std::uint8_t[]> sendBuffer_;
    std::uint32_t bufferSize_;
    std::uint32_t batchLimit_;  // bytes in each of the three batch buffers
    std::thread sender_, batcher_;
    std::chrono::milliseconds idle_;
    std::atomic<SendFunction> sendFunction_;
    std::atomic<std::uint64_t> sendRetries_{0};
    std::atomic<std::uint64_t> sendFailures_{0};
    Clock::duration refusedFor_{};  // sender thread: retry time spent since a datagram went out quickly

    std::mutex requestMutex_;  // held for a whole request
    OwedReplies owed_;         // under requestMutex_: replies of requests that gave up

    // Under queueMutex_.
    std::mutex queueMutex_;
    std::condition_variable queueCond_;  // an item was queued, or the batcher finished
    std::condition_variable roomCond_;   // the sender freed ring room
    std::deque<SendItem> queue_;
    bool batcherFinished_ = false;

    // Under boardMutex_ (taken last, held for a few instructions): set by the
    // sender from the actual send times.
    std::mutex boardMutex_;
    Clock::time_point boardEndSent_{};  // when the board ends the batches sent so far
    std::uint64_t lastSentBatch_ = 0;

    // Under accMutex_.
    std::mutex accMutex_;
    Clock::time_point lastPush_;
    std::condition_variable batchCond_;  // a batch was opened, or its close was asked for
    std::condition_variable takenCond_;  // the batcher took the open batch
    std::unique_ptr<std::uint8_t[]> accBuffer_;
    std::unique_ptr<std::uint8_t[]> closedBuffer_;  // batcher only: the batch being moved to the ring
    std::uint32_t accLength_ = 0;
    Clock::time_point batchDeadline_;
    Clock::time_point batchStart_;  // the open batch's first write
    std::int64_t boardNs_ = 0;      // board time the open batch takes so far: lagNs_, waits, own wait bytes
    std::int64_t lagNs_ = 0;        // how far the board was behind when the open batch opened
    std::uint64_t closedBatches_ = 0;
    std::deque<Unsent> unsent_;
    Clock::time_point lastAppend_;
    bool closeRequested_ = false;
    bool finalPushed_ = false;
};

}  // namespace vesk

#endif  // VESK_TRANSPORT_BOARD_TRANSPORT_H
