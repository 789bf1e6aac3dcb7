#include "transport/board_transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "transport/exchange.h"
#include "transport/protocol.h"
#include "transport/write_time.h"

namespace vesk {

namespace {

static_assert(BoardTransport::kMinBatchBytes == proto::kMaxCommandSize + 2 * proto::commandSize(proto::kCmdWait) +
                                                    proto::kDelayMaxSize + proto::commandSize(proto::kCmdSync));

// A batch is one UDP datagram. The largest UDP payload over IPv6 is 65527
// bytes; staying below 64 KiB with the IPv6 and UDP headers keeps a batch
// one IP packet on links with a 64 KiB MTU (loopback).
constexpr std::uint32_t kMaxDatagramBytes = 65024;

// The ring is sized from the latency (enough batches for the latency window);
// huge reported latencies or buffer sizes would ask for gigabytes, so the
// request is capped.
constexpr std::uint64_t kMaxRingRequest = 64u << 20;

// A board that did not report its idle time reports 0, which would queue a
// keep-alive on every batcher pass. Such a board gets a keep-alive after
// 100 ms without writes instead: often enough to keep the link warm, rare
// enough to cost nothing.
constexpr std::uint32_t kIdleFloorMs = 100;

// A batch closes this long before its deadline even while writes keep
// coming, so that the batcher's wake-up, the hand-over to the sender and the
// sender's precise wait all fit before the datagram is due. Writes after the
// close open the next batch, whose deadline carries their time.
constexpr auto kCloseMargin = std::chrono::milliseconds(2);

// The socket's send buffer holds at least this many of the largest batches,
// and never less than 256 KiB: a send buffer of one board buffer (as boards
// report it) made the system refuse every datagram longer than about twice
// that size, and a dense stream lost most of its writes.
constexpr std::uint32_t kSendBufferBatches = 16;
constexpr std::uint32_t kMinSendBuffer = 256u << 10;

// How long datagrams are retried while the system has no buffer space for
// them. The board plays them late, but plays them; past this the link is
// gone and a datagram is counted as failed. The time is shared by datagrams
// that each needed long retries, and renewed by one that went out quickly:
// a link that is gone but takes a datagram now and then (a cable out; the
// system queues a few for a neighbour it cannot reach) once had every
// datagram wait its full time in turn, the ring fill and the host's writes
// wait seconds for it.
constexpr auto kSendRetryTime = std::chrono::milliseconds(100);
// A datagram sent within this much of its first try renews the retry time.
constexpr auto kQuickSend = std::chrono::milliseconds(10);
// A send call that returns sooner handed its datagram to the system at its
// start (the socket does not block); one that took longer stalled somewhere
// the host cannot see, perhaps before the datagram left.
constexpr auto kSendStalled = std::chrono::milliseconds(10);

// How long after its latency a board's answer counts as prompt (see
// awaitReply): a round trip and the board's own work, with room to spare.
constexpr auto kPromptSlack = std::chrono::milliseconds(100);

// BoardClock: a wait-only datagram goes out when the board has less than
// the keep-ahead left to play (half the latency, at most 25 ms: a latency of
// 400 ms needs no 200 ms of it), so that the next batch still finds it
// playing: the sender's wake-up may be a few ms late on a busy host, and a
// send under Wine takes up to 8 ms now and then. The board's timeline then
// runs between one and two keep-aheads (or the latency) ahead of the host:
// a datagram of 5 bytes per keep-ahead while the host writes nothing.
constexpr auto kMaxKeepAhead = std::chrono::milliseconds(25);
std::chrono::steady_clock::duration keepAhead(std::uint32_t waitMs) {
    return std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(waitMs) / 2, kMaxKeepAhead);
}
// ... and only while the host wrote in the last 5 s: a board whose music
// stopped goes idle, and the next batch is timed from when it leaves (under
// Wine a send may take milliseconds to leave, and that error would stay with
// every chained batch after it: a pause in a song must not cost it).
constexpr auto kChainHold = std::chrono::seconds(5);
// A wait-only datagram extends the board's timeline to this much short of
// the earliest time a write not yet pushed can be due (now + latency).
constexpr auto kExtensionSlack = std::chrono::milliseconds(1);

// The syncs that measure the board's clock (board_timeline.h, ClockProbes):
// one every kProbeEvery at most; an answer that comes kProbeEarly before the
// board could have reached the sync shows a board that answers syncs on
// arrival, whose answers say nothing of its clock.
constexpr auto kProbeEvery = std::chrono::milliseconds(500);
constexpr std::int64_t kProbeEarlyNs = 5000000;
constexpr auto kProbeGiveUp = std::chrono::milliseconds(500);
// While the board does not hear the host: a bare sync this often.
constexpr auto kGateProbeEvery = std::chrono::milliseconds(100);

// Room in the send buffer before an item for its leading wait.
constexpr std::uint32_t kLeadRoom = proto::kDelayMaxSize;

std::int64_t toNs(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}
std::chrono::steady_clock::time_point fromNs(std::int64_t ns) {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}
constexpr std::int64_t kNone = INT64_MAX;

}  // namespace

BoardTransport::BoardTransport(plat::Socket socket, const char* address, std::uint16_t wait, std::uint32_t bufferSize,
                               std::uint8_t idleMs, std::uint8_t gapMs, Timing timing)
    : socket_(socket),
      timing_(timing),
      keepAliveEnabled_(false),
      dataSent_(false),
      waitMs_(std::max<std::uint32_t>(wait, gapMs)),
      gapMs_(gapMs),
      bufferSize_(bufferSize),
      idle_(idleMs ? idleMs : kIdleFloorMs),
      sendFunction_(&plat::trySendTo),
      timeline_(std::max(bufferSize, kMinBatchBytes)),
      openFirstWriteNs_(kNone) {
    lastPush_ = Clock::now();
    lastPushNs_.store(toNs(lastPush_));

    std::memset(boardAddress_, 0, sizeof boardAddress_);
    if (address) {
        std::size_t n = std::strlen(address);
        std::memcpy(boardAddress_, address, std::min<std::size_t>(n, 64));
    }
    destination_ = plat::SockAddr6{};
    destination_.port = proto::kBoardPort;
    // A text that does not parse leaves the unspecified address: sends go
    // nowhere and requests time out, as with a board that does not answer.
    plat::textToAddr(boardAddress_, destination_.addr);

    std::uint32_t waitMs = waitMs_.load();
    std::uint64_t ringRequest = waitMs >= 10 ? static_cast<std::uint64_t>(waitMs / 10) * 4 * bufferSize_
                                             : static_cast<std::uint64_t>(4) * bufferSize_;
    ringRequest = std::clamp<std::uint64_t>(ringRequest, kMinBatchBytes, kMaxRingRequest);
    ring_ = std::make_unique<RingBuffer<unsigned char>>(static_cast<std::uint32_t>(ringRequest));

    // A batch never outgrows its share of the board's buffer (a board that
    // reported less than one largest command gets kMinBatchBytes), one
    // datagram, or the ring: a closed batch then always fits in the empty
    // ring, and the board always has room for it once it has played the
    // rest. The share is half: the next datagram has to fit beside the one
    // playing, or the board runs dry before it may be sent.
    const std::uint32_t board = std::clamp<std::uint32_t>(bufferSize_ / 2, kMinBatchBytes, kMaxDatagramBytes);
    batchLimit_ = std::min(board, ring_->capacity());
    bodyLimit_ = batchLimit_ - kLeadRoom - proto::commandSize(proto::kCmdSync);

    plat::setSendBufferSize(socket_, std::max(kMinSendBuffer, kSendBufferBatches * batchLimit_));

    sendBuffer_.reset(new std::uint8_t[kLeadRoom + batchLimit_]());
    accBuffer_.reset(new std::uint8_t[bodyLimit_]());
    closedBuffer_.reset(new std::uint8_t[bodyLimit_]());
    accLength_ = 0;
    lastAppend_ = cursor_ = Clock::now();

    keepAliveEnabled_.store(true);
    // Each thread started is stopped again if a later one cannot start.
    sender_ = std::thread(&BoardTransport::senderLoop, this);
    auto stopSender = [this] {
        {
            std::lock_guard<std::mutex> q(queueMutex_);
            batcherFinished_ = true;
        }
        queueCond_.notify_all();
        sender_.join();
    };
    if (timing_ == Timing::BoardClock) {
        try {
            listener_ = std::thread(&BoardTransport::listenerLoop, this);
        } catch (...) {
            stopSender();
            throw;
        }
    }
    try {
        batcher_ = std::thread(&BoardTransport::batcherLoop, this);
    } catch (...) {
        stopSender();
        if (listener_.joinable()) listener_.join();
        throw;
    }
}

BoardTransport::~BoardTransport() {
    keepAliveEnabled_.store(false);
    std::uint8_t sync[proto::commandSize(proto::kCmdSync)];
    std::uint8_t reply[proto::kSmallReplySize];
    request(sync, proto::encodeSync(sync), reply, sizeof reply, 0);
    pushFinal();
    sender_.join();
    batcher_.join();
    if (listener_.joinable()) listener_.join();
}

void BoardTransport::push(const std::uint8_t* bytes, std::uint32_t length) {
    const std::int64_t at = writetime::HostWrite::current();
    if (at != writetime::kByCall) {
        // A host write timed further ahead than the latency waits here (no
        // lock held) until it is within it: the pipeline holds one latency of
        // music, however far ahead a host runs.
        const auto within = fromNs(at) - std::chrono::milliseconds(waitMs_.load());
        if (within > Clock::now()) plat::sleepUntil(within);
    }
    pushAt(bytes, length, at);
}

void BoardTransport::pushAt(const std::uint8_t* bytes, std::uint32_t length, std::int64_t at) {
    if (!bytes || length == 0) return;
    std::unique_lock<std::mutex> lock(accMutex_);
    // The time stamps are taken under the lock: pushes from two threads (the
    // host writing, a tray dialog setting the volume) each see a gap that
    // ends at their own push. A write is never timed before the one pushed
    // before it: the board plays them in order.
    const Clock::time_point now = Clock::now();
    lastPush_ = std::max(lastPush_, at == writetime::kByCall ? now : fromNs(at));
    lastPushNs_.store(toNs(lastPush_), std::memory_order_relaxed);
    appendLocked(lock, bytes, length, lastPush_, now);
    if (at != writetime::kByCall) openTimed_ = true;
}

void BoardTransport::appendLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* bytes, std::uint32_t length,
                                  Clock::time_point stamp, Clock::time_point now) {
    if (length <= bodyLimit_ - 2 * proto::commandSize(proto::kCmdWait)) {
        appendPieceLocked(lock, bytes, length, stamp, now);
        return;
    }
    // Longer than a batch can hold: split between commands (each at most
    // 256 bytes, which every batch holds). The pieces follow each other
    // without a gap. A last command whose L runs past the end goes as it is.
    proto::CommandCursor cursor(bytes, length);
    const std::uint8_t* command;
    std::uint32_t size;
    std::uint32_t done = 0;
    while (cursor.next(command, size)) {
        appendPieceLocked(lock, command, size, stamp, now);
        done += size;
    }
    if (done < length) appendPieceLocked(lock, bytes + done, length - done, stamp, now);
}

void BoardTransport::appendPieceLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* bytes,
                                       std::uint32_t length, Clock::time_point stamp, Clock::time_point now) {
    // Each write is due waitMs after its push, on the board's timeline, or
    // as soon as the board is done with what comes before it. The wait
    // before it brings the board there from where the writes before left
    // it, their own wait bytes counted: recording the raw gap between
    // pushes instead made the board add each write's own waits on top (14 us
    // per YM2612 write: a DAC stream ran tens of ms behind within a second)
    // and lose every truncated fraction of a microsecond.
    const Clock::time_point due = stamp + std::chrono::milliseconds(waitMs_.load());
    std::uint8_t waits[proto::kDelayMaxSize];
    std::uint32_t waitLength = 0;
    std::int64_t waitUs = 0;
    if (accLength_ != 0) {
        const std::int64_t behindNs = std::chrono::duration_cast<std::chrono::nanoseconds>(due - cursor_).count();
        waitLength = proto::encodeDelayUs(waits, behindNs / 1000, &waitUs);
    }
    if (accLength_ != 0 && accLength_ + waitLength + length > bodyLimit_) {
        // The open batch is full: have the batcher close it now. This write
        // opens the next one, whose leading wait carries the gap.
        closeOpenBatchLocked(lock);
        waitLength = 0;
        waitUs = 0;
    }
    const auto own = std::chrono::microseconds(proto::ownWaitUs(bytes, length));
    if (accLength_ == 0) {
        // A board still busy with earlier batches (sent late on a busy host,
        // or music denser than the board can play) starts this one late, and
        // without this every later write would stay that late: the board's
        // end counts as where the timeline stands, so the waits of this batch
        // shrink until the board is back on the host's timeline.
        cursor_ = std::max(cursor_, boardFreeLocked());
        const Clock::time_point chainStart = cursor_;
        firstWrite_ = std::max(due, cursor_);
        // The batch has to reach the board before its first write is due
        // and, timed by the board's clock, before the board runs dry; and
        // the sooner it is there the longer a stalled host goes unheard: a
        // dense stream (no pause to close it) closes a batch every quarter
        // of the latency, which keeps about three quarters of it queued on
        // the board for the price of four datagrams per latency.
        if (timing_ == Timing::BoardClock) {
            const auto span = std::max<Clock::duration>(std::chrono::milliseconds(gapMs_),
                                                        std::chrono::milliseconds(waitMs_.load()) / 4);
            const Clock::time_point needed = chainStart > now ? std::min(chainStart, firstWrite_) : firstWrite_;
            closeBy_ = std::min(needed - kCloseMargin, now + span);
        } else {
            closeBy_ = firstWrite_ - kCloseMargin;
        }
        cursor_ = firstWrite_ + own;
        std::memcpy(accBuffer_.get(), bytes, length);
        accLength_ = length;
        lastAppend_ = now;
        openFirstWriteNs_.store(toNs(firstWrite_), std::memory_order_relaxed);
        batchCond_.notify_one();
        return;
    }
    std::memcpy(accBuffer_.get() + accLength_, waits, waitLength);
    std::memcpy(accBuffer_.get() + accLength_ + waitLength, bytes, length);
    accLength_ += waitLength + length;
    cursor_ += std::chrono::microseconds(waitUs) + own;
    lastAppend_ = now;
}

void BoardTransport::closeOpenBatchLocked(std::unique_lock<std::mutex>& lock) {
    if (accLength_ == 0) return;
    closeRequested_ = true;
    batchCond_.notify_one();
    takenCond_.wait(lock, [this] { return accLength_ == 0; });
}

void BoardTransport::pushFinal() {
    std::unique_lock<std::mutex> lock(accMutex_);
    const Clock::time_point now = Clock::now();
    // The last datagram is the single byte 00, even if a batch is still open.
    closeOpenBatchLocked(lock);
    accBuffer_[0] = 0;
    accLength_ = 1;
    firstWrite_ = now + (timing_ == Timing::Departure ? std::chrono::milliseconds(waitMs_.load())
                                                      : std::chrono::milliseconds(0));
    lastAppend_ = now;
    finalPushed_ = true;
    closeRequested_ = true;
    batchCond_.notify_one();
}

BoardTransport::Clock::time_point BoardTransport::boardFreeLocked() {
    Clock::time_point end;
    std::uint64_t sent;
    {
        std::lock_guard<std::mutex> b(boardMutex_);
        end = timeline_.end();
        sent = lastSentBatch_;
    }
    while (!unsent_.empty() && unsent_.front().index <= sent) unsent_.pop_front();
    for (const Unsent& u : unsent_) end = std::max(end, u.firstWrite) + std::chrono::nanoseconds(u.bodyNs);
    return end;
}

void BoardTransport::enqueue(const std::uint8_t* bytes, std::uint32_t length, const SendItem& item) {
    {
        std::unique_lock<std::mutex> q(queueMutex_);
        // Never overrun the ring: unsent bytes would be replaced by newer
        // ones. length <= bodyLimit_ <= capacity, so room always comes as
        // the sender takes the queued items.
        roomCond_.wait(q, [&] {
            std::lock_guard<std::mutex> r(ringMutex_);
            return ring_->capacity() - ring_->count() >= length;
        });
        {
            std::lock_guard<std::mutex> r(ringMutex_);
            ring_->write(bytes, length);
        }
        queue_.push_back(item);
        queue_.back().length = length;
    }
    queueCond_.notify_one();
}

void BoardTransport::batcherLoop() {
    plat::raiseThreadPriority();
    const auto gap = std::chrono::milliseconds(gapMs_);
    std::unique_lock<std::mutex> lock(accMutex_);
    for (;;) {
        if (accLength_ == 0) {
            const auto idleEnd = Clock::now() + idle_;
            while (accLength_ == 0 && Clock::now() < idleEnd) batchCond_.wait_until(lock, idleEnd);
            if (accLength_ == 0) {
                if (keepAliveEnabled_.load()) {
                    const auto due =
                        Clock::now() + (timing_ == Timing::Departure ? std::chrono::milliseconds(waitMs_.load())
                                                                     : std::chrono::milliseconds(0));
                    lock.unlock();
                    std::uint8_t keepAlive[proto::kKeepAliveSize];
                    SendItem item;
                    item.firstWrite = due;
                    item.kind = Kind::KeepAlive;
                    enqueue(keepAlive, proto::encodeKeepAlive(keepAlive), item);
                    lock.lock();
                }
                continue;
            }
        }
        // A batch is open: it closes gapMs after its latest write, a margin
        // before the board needs it, or at once when a push (full batch) or
        // the destructor asks for it. One holding writes a host gave their
        // times closes by the board's need alone: such pushes come in bursts
        // ahead of the music, and a pause between them is the host's sleep,
        // not a gap in the music.
        for (;;) {
            if (closeRequested_) break;
            const auto closeAt = openTimed_ ? closeBy_ : std::min(lastAppend_ + gap, closeBy_);
            if (Clock::now() >= closeAt) break;
            batchCond_.wait_until(lock, closeAt);
        }
        std::swap(accBuffer_, closedBuffer_);
        const bool last = finalPushed_;
        SendItem item;
        item.firstWrite = firstWrite_;
        item.kind = last ? Kind::Final : Kind::Batch;
        if (!last) {
            item.batch = ++closedBatches_;
            item.bodyNs = std::chrono::duration_cast<std::chrono::nanoseconds>(cursor_ - firstWrite_).count();
            unsent_.push_back(Unsent{item.batch, item.firstWrite, item.bodyNs});
        }
        const std::uint32_t length = accLength_;
        accLength_ = 0;
        openTimed_ = false;
        openFirstWriteNs_.store(kNone, std::memory_order_relaxed);
        closeRequested_ = false;
        lock.unlock();
        takenCond_.notify_all();
        enqueue(closedBuffer_.get(), length, item);
        if (last) {
            {
                std::lock_guard<std::mutex> q(queueMutex_);
                batcherFinished_ = true;
            }
            queueCond_.notify_all();
            return;
        }
        lock.lock();
    }
}

BoardTransport::Clock::time_point BoardTransport::extensionDue(Clock::time_point now) {
    if (timing_ != Timing::BoardClock || now - fromNs(lastPushNs_.load(std::memory_order_relaxed)) > kChainHold)
        return Clock::time_point::max();
    const auto ahead = keepAhead(waitMs_.load());
    std::lock_guard<std::mutex> b(boardMutex_);
    // A board that ran dry is left so: the next batch is timed from when it
    // leaves, as well as a wait-only datagram would be. One that does not
    // hear the host gets no waits either.
    if (unheard_ || !timeline_.busyAt(now)) return Clock::time_point::max();
    // Not before the board has room for it: a board full of music has that
    // much to play, and one that gets a datagram it has no room for drops it
    // (a dense stream's extensions, sent between its batches, overflowed a
    // 1 KiB buffer).
    return std::max(timeline_.end() - ahead, timeline_.roomAt(now, proto::kDelayMaxSize));
}

void BoardTransport::senderLoop() {
    plat::raiseThreadPriority();
    for (;;) {
        SendItem item;
        bool extend = false;
        {
            std::unique_lock<std::mutex> q(queueMutex_);
            for (;;) {
                // The batcher queues the last datagram before it finishes, so
                // an empty queue then means everything has been sent.
                if (!queue_.empty() || batcherFinished_) break;
                const auto now = Clock::now();
                const auto due = extensionDue(now);
                if (due <= now) {
                    extend = true;
                    break;
                }
                if (due == Clock::time_point::max())
                    queueCond_.wait(q);
                else
                    queueCond_.wait_until(q, due);
            }
            if (!extend) {
                if (queue_.empty()) break;
                item = queue_.front();
                queue_.pop_front();
                std::lock_guard<std::mutex> r(ringMutex_);
                ring_->read(sendBuffer_.get() + kLeadRoom, item.length);
            }
        }
        if (extend) {
            sendExtension();
            continue;
        }
        roomCond_.notify_one();
        sendItem(item);
    }
    {
        std::lock_guard<std::mutex> b(boardMutex_);
        senderFinished_ = true;
    }
    probeCond_.notify_all();
}

void BoardTransport::sendExtension() {
    // The board's timeline runs on to just short of when the next write
    // pushed can be due, and never past the open batch's first write.
    const auto now = Clock::now();
    // At most twice the keep-ahead: a latency lowered later (the delay
    // dialog) cannot undo waits already sent, and the board would play the
    // next writes that much late.
    const std::uint32_t waitMs = waitMs_.load();
    auto target =
        now + std::min<Clock::duration>(std::chrono::milliseconds(waitMs) - kExtensionSlack, 2 * keepAhead(waitMs));
    const std::int64_t open = openFirstWriteNs_.load(std::memory_order_relaxed);
    if (open != kNone) target = std::min(target, fromNs(open));
    Clock::time_point start;
    {
        std::lock_guard<std::mutex> b(boardMutex_);
        start = std::max(now, timeline_.end());
    }
    std::uint8_t wait[proto::kDelayMaxSize];
    std::int64_t us = 0;
    const std::uint32_t n =
        proto::encodeDelayUs(wait, std::chrono::duration_cast<std::chrono::microseconds>(target - start).count(), &us);
    if (n == 0 || us < 1000) {
        // Too close to the open batch's first write to be worth a datagram:
        // that batch is about to leave. Look again shortly.
        plat::sleepUntil(now + std::chrono::microseconds(500));
        return;
    }
    Clock::time_point leftAt, returned;
    {
        std::lock_guard<std::mutex> b(boardMutex_);
        const auto t = Clock::now();
        if (unheard_ || timeline_.roomAt(t, n) > t) return;
    }
    const plat::SendStatus status = sendDatagram(wait, n, true, &leftAt, &returned);
    std::unique_lock<std::mutex> b(boardMutex_);
    if (status == plat::SendStatus::Sent) {
        timeline_.sent(leftAt, std::chrono::microseconds(us), n, returned);
        return;
    }
    // Not extended, the timeline stays due: without this the sender would
    // try again at once, for as long as the board had music left. Failed
    // outright, the board does not hear the host, as when a batch fails.
    if (status == plat::SendStatus::Error) unheard_ = true;
    b.unlock();
    plat::sleepUntil(now + std::chrono::milliseconds(1));
}

void BoardTransport::sendItem(const SendItem& item) {
    std::uint8_t* body = sendBuffer_.get() + kLeadRoom;
    const bool boardClock = timing_ == Timing::BoardClock;
    // What leaves at most: the leading wait, the item and a sync.
    const std::uint32_t most =
        item.length + (item.kind == Kind::Batch ? kLeadRoom + proto::commandSize(proto::kCmdSync) : 0);
    for (;;) {
        std::unique_lock<std::mutex> b(boardMutex_);
        Clock::time_point at = timeline_.roomAt(Clock::now(), most);
        if (!boardClock) at = std::max(at, item.firstWrite);
        if (at <= Clock::now()) break;
        // Room held back by the board's possible lag comes as soon as an
        // answer shows the lag smaller: the listener wakes this wait.
        if (boardClock && timeline_.lag() > BoardTimeline::kHoldMargin) {
            lagCond_.wait_until(b, at);
            continue;
        }
        b.unlock();
        plat::sleepUntilPrecise(at);
    }
    if (item.kind != Kind::Batch) {
        Clock::time_point leftAt, returned;
        const bool sent =
            sendDatagram(body, item.length, item.kind == Kind::KeepAlive, &leftAt, &returned) == plat::SendStatus::Sent;
        if (sent && item.length != proto::kKeepAliveSize) dataSent_.store(true);
        if (sent) {
            std::lock_guard<std::mutex> b(boardMutex_);
            timeline_.sent(leftAt, Clock::duration::zero(), item.length, returned);
        }
        return;
    }
    // A sync goes at the end of a chained datagram now and then, when no
    // request is waiting on the socket (it would take the answer for its own).
    bool probe = false;
    const auto now = Clock::now();
    std::uint8_t* start = body;
    std::uint32_t length = item.length;
    std::int64_t leadUs = 0;
    if (boardClock) {
        std::unique_lock<std::mutex> b(boardMutex_);
        // Not heard (a send failed: the link is down): the batch is dropped,
        // rather than left to a system that queues it for a neighbour it
        // cannot reach, and a bare sync goes now and then. Not while a
        // request waits (it would time out for nothing once the link is back;
        // the listener holding the request mutex while it awaits an answer is
        // no request: taking it for one let music through to the system's
        // queue all the while the link was down, and the board got seconds of
        // it, stale, when the link came back).
        if (requestsIn_.load() == 0 && unheard_) {
            lastSentBatch_ = item.batch;
            if (probeOut_ || now - lastGateProbe_ < kGateProbeEvery) return;
            b.unlock();
            sendBareSync(now);
            return;
        }
        const auto lead = timeline_.leadFor(now, item.firstWrite);
        std::uint8_t wait[proto::kDelayMaxSize];
        const std::uint32_t n =
            proto::encodeDelayUs(wait, std::chrono::duration_cast<std::chrono::microseconds>(lead).count(), &leadUs);
        start = body - n;
        std::memcpy(start, wait, n);
        length += n;
        // Timing the clock: only where the board reaches it well after it
        // arrives: an answer on arrival (a board that does not wait to
        // answer a sync) then cannot pass for a clock running fast. Any
        // datagram while the board's lag since it was anchored is unknown,
        // and one that will be anchored: its answer bounds the lag (after
        // that the clock's syncs keep it). Put on the datagram after an
        // anchored one instead, the answer came only once that one was
        // played: a dense stream in a small buffer waited for it with the
        // board dry, and was anchored again, and again.
        const auto reached = std::max(now, timeline_.end()) + lead + std::chrono::nanoseconds(item.bodyNs);
        const bool timesClock = timeline_.busyAt(now) && now - lastProbe_ >= kProbeEvery &&
                                reached - now > 2 * std::chrono::nanoseconds(kProbeEarlyNs);
        const bool boundsLag = !timeline_.lagMeasured() || !timeline_.busyAt(now);
        if (requestsIn_.load() == 0 && !probeOut_ && !probesOff_ && (timesClock || boundsLag)) {
            probe = true;
            probeOut_ = true;
            probeTimesClock_ = timesClock;
            probeDue_ = Clock::time_point::max();  // known once it has left
            if (timesClock) lastProbe_ = now;
            length += proto::encodeSync(start + length);
        }
    }
    Clock::time_point leftAt, returned;
    const bool sent = sendDatagram(start, length, false, &leftAt, &returned) == plat::SendStatus::Sent;
    if (sent) dataSent_.store(true);
    {
        std::lock_guard<std::mutex> b(boardMutex_);
        if (!sent && boardClock) unheard_ = true;
        if (sent) {
            const auto board = std::chrono::microseconds(leadUs) + std::chrono::nanoseconds(item.bodyNs);
            timeline_.sent(leftAt, board, length, returned);
        }
        lastSentBatch_ = item.batch;
        if (probe) {
            probeOut_ = sent;
            probeDue_ = timeline_.end();
            probeAfter_ = timeline_.sentCount();
        }
    }
    if (probe && sent) probeCond_.notify_all();
}

void BoardTransport::sendBareSync(Clock::time_point now) {
    {
        std::lock_guard<std::mutex> b(boardMutex_);
        probeOut_ = gateProbe_ = true;
        probeDue_ = Clock::time_point::max();
        lastGateProbe_ = now;
    }
    std::uint8_t sync[proto::commandSize(proto::kCmdSync)];
    Clock::time_point leftAt, returned;
    const std::uint32_t n = proto::encodeSync(sync);
    const bool sent = sendDatagram(sync, n, false, &leftAt, &returned) == plat::SendStatus::Sent;
    {
        std::lock_guard<std::mutex> b(boardMutex_);
        probeOut_ = sent && probeOut_;
        probeDue_ = leftAt;
        // Its two bytes wait behind what the board is playing.
        if (sent && timeline_.busyAt(leftAt)) timeline_.sent(leftAt, Clock::duration::zero(), n, returned);
    }
    if (sent) probeCond_.notify_all();
}

void BoardTransport::listenerLoop() {
    // An answer's time is when this thread takes it: a late wake-up makes the
    // board look behind its clock.
    plat::raiseThreadPriority();
    std::uint8_t sync[proto::commandSize(proto::kCmdSync)];
    const std::uint32_t syncLength = proto::encodeSync(sync);
    std::uint8_t buf[64];
    for (;;) {
        {
            std::unique_lock<std::mutex> b(boardMutex_);
            probeCond_.wait(b,
                            [this] { return senderFinished_ || (probeOut_ && probeDue_ != Clock::time_point::max()); });
            if (senderFinished_) return;
            if (Clock::now() > probeDue_ + std::chrono::milliseconds(waitMs_.load()) + kProbeGiveUp) {
                probeOut_ = false;  // lost
                lagCond_.notify_all();
                continue;
            }
        }
        // The socket is a request's while one waits; request() then takes
        // over what this sync is owed. One that is waiting to start goes
        // first (the mutex is not fair: taking it back at once could keep a
        // request out for as long as the answer is awaited).
        std::unique_lock<std::mutex> rq(requestMutex_, std::defer_lock);
        if (requestsWaiting_.load() > 0 || !rq.try_lock()) {
            plat::sleepUntil(Clock::now() + std::chrono::milliseconds(1));
            continue;
        }
        if (plat::waitReadable(socket_, 2000) != plat::WaitStatus::Ready) continue;
        const auto now = Clock::now();
        plat::RecvResult r;
        {
            std::lock_guard<std::mutex> io(ioMutex_);
            r = plat::recvFrom(socket_, buf, sizeof buf);
        }
        if (r.status != plat::RecvStatus::Ok || std::memcmp(r.from.addr, destination_.addr, 16) != 0) continue;
        const auto length = static_cast<std::uint32_t>(r.length);
        if (!proto::answers(sync, syncLength, buf, length)) {
            owed_.consume(buf, length, now);  // a late answer to a request that gave up
            continue;
        }
        std::lock_guard<std::mutex> b(boardMutex_);
        if (!probeOut_ && !gateProbe_) continue;
        // Any answer shows the board hears the host again.
        unheard_ = false;
        probeOut_ = false;
        lagCond_.notify_all();
        if (gateProbe_) {
            gateProbe_ = false;  // a bare sync: nothing to learn of the clock
            continue;
        }
        const std::int64_t offset = std::chrono::duration_cast<std::chrono::nanoseconds>(now - probeDue_).count();
        // Twice in a row: one answer taken for the wrong sync (a sync given up
        // on that answers late) must not end the clock's measure for good.
        if (offset < -kProbeEarlyNs) {
            if (++earlyAnswers_ < 2) continue;
            probesOff_ = true;
            plat::logLine(std::string("board ") + boardAddress_ + ": a sync answered " + std::to_string(-offset / 1000) +
                          " us before the board could reach it: its clock is not measured");
            continue;
        }
        earlyAnswers_ = 0;
        std::int64_t behind = offset;
        if (probeTimesClock_) {
            if (const std::int64_t shift = probes_.add(offset)) {
                timeline_.shift(std::chrono::nanoseconds(shift));
                plat::logLine(std::string("board ") + boardAddress_ + ": its timeline moved " + std::to_string(shift / 1000) +
                              " us (its clock, or the way back)");
            }
            behind = probes_.lastBehindNs();
        }
        timeline_.measured(std::chrono::nanoseconds(behind), probeAfter_);
        lagCond_.notify_all();
    }
}

plat::SendStatus BoardTransport::sendDatagram(const std::uint8_t* bytes, std::uint32_t length, bool keepAlive,
                                              Clock::time_point* leftAt, Clock::time_point* returned) {
    const auto start = Clock::now();
    const auto giveUp = start + (refusedFor_ < kSendRetryTime ? kSendRetryTime - refusedFor_ : Clock::duration::zero());
    for (;;) {
        plat::SendStatus status;
        Clock::time_point tried;
        {
            std::lock_guard<std::mutex> io(ioMutex_);
            tried = Clock::now();
            status = sendFunction_.load()(socket_, bytes, length, destination_);
        }
        if (status == plat::SendStatus::Sent) {
            const auto end = Clock::now();
            // The stamp before the call, not after it: a sender preempted as
            // the call returns (on the test bed, by the board's stand-in
            // handling the datagram it was just given) made the board look
            // a millisecond behind when it was not, and the next datagram's
            // waits were cut by that: its writes played up to 1.6 ms early.
            *leftAt = end - tried < kSendStalled ? tried : end;
            *returned = end;
            const auto took = end - start;
            refusedFor_ = took < kQuickSend ? Clock::duration::zero() : refusedFor_ + took;
            return status;
        }
        if (keepAlive && status == plat::SendStatus::NoBuffer) return status;  // the next one will do
        const auto now = Clock::now();
        if (status == plat::SendStatus::Error || now >= giveUp) {
            if (status == plat::SendStatus::NoBuffer) refusedFor_ += now - start;
            sendFailures_.fetch_add(1);
            return plat::SendStatus::Error;
        }
        sendRetries_.fetch_add(1);
        // Writable comes back as soon as the socket has any room; ENOBUFS on
        // Linux can persist while the device queue drains, so a short sleep
        // keeps this from spinning.
        plat::waitWritable(socket_, 1000);
        plat::sleepUntil(std::min(giveUp, Clock::now() + std::chrono::microseconds(200)));
    }
}

std::uint32_t BoardTransport::request(const std::uint8_t* command, std::uint32_t length, std::uint8_t* reply,
                                      std::uint32_t capacity, std::uint32_t extraSeconds) {
    // From here on the sender puts no sync of its own at the end of a
    // datagram: one put out between the wait below and this request taking
    // the socket could have its answer taken for this request's.
    struct InRequest {
        std::atomic<int>& n;
        explicit InRequest(std::atomic<int>& count) : n(count) { n.fetch_add(1); }
        ~InRequest() { n.fetch_sub(1); }
    } inRequest(requestsIn_);
    if (proto::answers(command, length, proto::kSyncReply, sizeof proto::kSyncReply)) {
        // The answer to a sync the sender put at the end of a datagram looks
        // like this request's own and comes first (the board answers in
        // order): taken for this one's, the request would return as soon as
        // the board reached the sender's sync, before what was pushed after
        // it. The listener takes it first; this costs nothing, since the
        // answer to this request comes after it anyway. Bounded by when the
        // listener gives the sync up; past that it is owed, as below.
        std::unique_lock<std::mutex> b(boardMutex_);
        const auto most = std::chrono::milliseconds(std::min(waitMs_.load(), kMaxRequestWaitMs)) + kProbeGiveUp;
        const auto limit = (probeDue_ == Clock::time_point::max() ? Clock::now() : std::min(probeDue_, Clock::now())) +
                           most;
        lagCond_.wait_until(b, limit, [this] { return !probeOut_ || gateProbe_ || senderFinished_; });
    }
    requestsWaiting_.fetch_add(1);
    std::lock_guard<std::mutex> one(requestMutex_);
    requestsWaiting_.fetch_sub(1);
    {
        // The sender's sync still out (one that left after the wait above)
        // is owed its answer from here on: this request must not take a late
        // answer for its own. A prompt one it cannot tell apart; the wait
        // above leaves that to the rare sync put out just as it ended.
        std::lock_guard<std::mutex> b(boardMutex_);
        if (probeOut_) {
            std::uint8_t sync[proto::commandSize(proto::kCmdSync)];
            owed_.add(sync, proto::encodeSync(sync), Clock::now());
            probeOut_ = false;
            lagCond_.notify_all();
        }
    }
    const bool keepAlive = keepAliveEnabled_.exchange(false);
    const std::int64_t timeoutUs = static_cast<std::int64_t>(extraSeconds) * 1000000 +
                                   static_cast<std::int64_t>(std::min(waitMs_.load(), kMaxRequestWaitMs)) * 1000 +
                                   500000;
    // Whatever is waiting now answers nothing this request asks: a reply that
    // came after its own request gave up (it pays off what is owed), or a
    // stray datagram.
    discardWaiting(socket_, &ioMutex_, destination_.addr, &owed_);
    const auto sent = Clock::now();
    pushAt(command, length, writetime::kByCall);
    const auto deadline = sent + std::chrono::microseconds(timeoutUs);
    // The board's usual reply time: the batch leaves within the latency, the
    // board answers at once.
    const auto prompt = sent + std::chrono::milliseconds(std::min(waitMs_.load(), kMaxRequestWaitMs)) + kPromptSlack;
    Reply r = awaitReply(socket_, destination_.addr, command, length, reply, reply ? capacity : 0, deadline, &ioMutex_,
                         &owed_, prompt);
    if (r.status == ReplyStatus::TimedOut) {
        owed_.add(command, length, Clock::now());  // its reply may still come
        if (plat::logEnabled()) {
            char code[8];
            std::snprintf(code, sizeof code, "%02x", length > 1 ? command[1] : 0);
            plat::logLine(std::string("board ") + boardAddress_ + ": no answer to a request (code " + code +
                          ") within " + std::to_string(timeoutUs / 1000) + " ms");
        }
        plat::messageBox("timeout", "push recv");
    }
    keepAliveEnabled_.store(keepAlive);
    return r.status == ReplyStatus::Answered ? r.length : 0;
}

}  // namespace vesk
