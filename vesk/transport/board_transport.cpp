#include "transport/board_transport.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "transport/exchange.h"
#include "transport/protocol.h"

namespace vesk {

namespace {

static_assert(BoardTransport::kMinBatchBytes == proto::kMaxCommandSize + 2 * proto::kWaitCommandSize);

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

}  // namespace

BoardTransport::BoardTransport(plat::Socket socket, const char* address, std::uint16_t wait, std::uint32_t bufferSize,
                               std::uint8_t idleMs, std::uint8_t gapMs)
    : socket_(socket),
      keepAliveEnabled_(false),
      dataSent_(false),
      waitMs_(std::max<std::uint32_t>(wait, gapMs)),
      gapMs_(gapMs),
      bufferSize_(bufferSize),
      idle_(idleMs ? idleMs : kIdleFloorMs),
      sendFunction_(&plat::trySendTo) {
    lastPush_ = Clock::now();

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

    // A batch never outgrows the board's buffer (a board that reported less
    // than one largest command gets kMinBatchBytes), one datagram, or the
    // ring: a closed batch then always fits in the empty ring, and the board
    // always has room for it.
    const std::uint32_t board = std::clamp<std::uint32_t>(bufferSize_, kMinBatchBytes, kMaxDatagramBytes);
    batchLimit_ = std::min(board, ring_->capacity());

    plat::setSendBufferSize(socket_, std::max(kMinSendBuffer, kSendBufferBatches * batchLimit_));

    sendBuffer_.reset(new std::uint8_t[batchLimit_]());
    accBuffer_.reset(new std::uint8_t[batchLimit_]());
    closedBuffer_.reset(new std::uint8_t[batchLimit_]());
    accLength_ = 0;
    batchDeadline_ = lastAppend_ = Clock::now();

    keepAliveEnabled_.store(true);
    sender_ = std::thread(&BoardTransport::senderLoop, this);
    try {
        batcher_ = std::thread(&BoardTransport::batcherLoop, this);
    } catch (...) {
        {
            std::lock_guard<std::mutex> q(queueMutex_);
            batcherFinished_ = true;
        }
        queueCond_.notify_all();
        sender_.join();
        throw;
    }
}

BoardTransport::~BoardTransport() {
    keepAliveEnabled_.store(false);
    std::uint8_t sync[proto::kSyncSize];
    std::uint8_t reply[proto::kSmallReplySize];
    request(sync, proto::encodeSync(sync), reply, sizeof reply, 0);
    pushFinal();
    sender_.join();
    batcher_.join();
}

void BoardTransport::push(const std::uint8_t* bytes, std::uint32_t length) {
    if (!bytes || length == 0) return;
    std::unique_lock<std::mutex> lock(accMutex_);
    // The time stamps are taken under the lock: pushes from two threads (the
    // host writing, a tray dialog setting the volume) each see a gap that
    // ends at their own push.
    lastPush_ = Clock::now();
    appendLocked(lock, bytes, length, lastPush_);
}

void BoardTransport::appendLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* bytes, std::uint32_t length,
                                  Clock::time_point now) {
    if (length <= batchLimit_ - 2 * proto::kWaitCommandSize) {
        appendPieceLocked(lock, bytes, length, now);
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
        appendPieceLocked(lock, command, size, now);
        done += size;
    }
    if (done < length) appendPieceLocked(lock, bytes + done, length - done, now);
}

void BoardTransport::appendPieceLocked(std::unique_lock<std::mutex>& lock, const std::uint8_t* bytes,
                                       std::uint32_t length, Clock::time_point now) {
    // The wait before this piece brings the board's timeline to the host's:
    // the host time since the batch's first write less what the board spends
    // on the batch so far, the waits already sent and the commands' own wait
    // bytes. Recording the raw gap between pushes instead made the board add
    // each write's own waits on top (14 us per YM2612 write: a DAC stream
    // ran tens of ms behind within a second) and lose every truncated or
    // dropped fraction of a microsecond.
    std::uint8_t waits[2 * proto::kWaitCommandSize];
    std::uint32_t waitLength = 0;
    std::int64_t waitUs = 0;
    if (accLength_ != 0) {
        const std::int64_t behindNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - batchStart_).count() - boardNs_;
        const std::int64_t gapUs = std::min<std::int64_t>(behindNs / 1000, 0xFFFF * 1000);
        const std::int64_t ms = gapUs / 1000;
        const std::int64_t us = gapUs % 1000;
        if (ms > 0) {
            waitLength += proto::encodeWaitMs(waits, static_cast<std::uint16_t>(ms));
            if (us > 0) waitLength += proto::encodeWaitUs(waits + waitLength, static_cast<std::uint16_t>(us));
            waitUs = gapUs;
        } else if (us > 10) {
            waitLength += proto::encodeWaitUs(waits, static_cast<std::uint16_t>(us));
            waitUs = us;
        }
    }
    if (accLength_ != 0 && accLength_ + waitLength + length > batchLimit_) {
        // The open batch is full: have the batcher close it now. The gap
        // before this write is carried by the next batch's deadline instead.
        closeOpenBatchLocked(lock);
        waitLength = 0;
    }
    const std::int64_t ownNs = static_cast<std::int64_t>(proto::ownWaitUs(bytes, length)) * 1000;
    if (accLength_ == 0) {
        batchDeadline_ = now + std::chrono::milliseconds(waitMs_.load());
        batchStart_ = now;
        // A board still playing earlier datagrams when this one arrives (one
        // sent late on a busy host, or a batch that ran past its deadline)
        // starts it late, and without this every later write would stay that
        // late: the lag counts as board time already spent, so the waits of
        // this batch shrink until the board is back on the host's timeline.
        lagNs_ = std::max<std::int64_t>(
            0, std::chrono::duration_cast<std::chrono::nanoseconds>(boardFreeLocked() - batchDeadline_).count());
        boardNs_ = lagNs_ + ownNs;
        std::memcpy(accBuffer_.get(), bytes, length);
        accLength_ = length;
        lastAppend_ = now;
        batchCond_.notify_one();
        return;
    }
    std::memcpy(accBuffer_.get() + accLength_, waits, waitLength);
    std::memcpy(accBuffer_.get() + accLength_ + waitLength, bytes, length);
    accLength_ += waitLength + length;
    boardNs_ += waitUs * 1000 + ownNs;
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
    lastPush_ = Clock::now();
    // The last datagram is the single byte 00, even if a batch is still open.
    closeOpenBatchLocked(lock);
    accBuffer_[0] = 0;
    accLength_ = 1;
    boardNs_ = lagNs_ = 0;
    batchDeadline_ = lastPush_ + std::chrono::milliseconds(waitMs_.load());
    lastAppend_ = lastPush_;
    finalPushed_ = true;
    closeRequested_ = true;
    batchCond_.notify_one();
}

BoardTransport::Clock::time_point BoardTransport::boardFreeLocked() {
    Clock::time_point end;
    std::uint64_t sent;
    {
        std::lock_guard<std::mutex> b(boardMutex_);
        end = boardEndSent_;
        sent = lastSentBatch_;
    }
    while (!unsent_.empty() && unsent_.front().index <= sent) unsent_.pop_front();
    for (const Unsent& u : unsent_) end = std::max(end, u.deadline) + std::chrono::nanoseconds(u.boardNs);
    return end;
}

void BoardTransport::enqueue(const std::uint8_t* bytes, std::uint32_t length, Clock::time_point deadline,
                             bool keepAlive, std::uint64_t batch, std::int64_t boardNs) {
    {
        std::unique_lock<std::mutex> q(queueMutex_);
        // Never overrun the ring: unsent bytes would be replaced by newer
        // ones. length <= batchLimit_ <= capacity, so room always comes as
        // the sender takes the queued items.
        roomCond_.wait(q, [&] {
            std::lock_guard<std::mutex> r(ringMutex_);
            return ring_->capacity() - ring_->count() >= length;
        });
        {
            std::lock_guard<std::mutex> r(ringMutex_);
            ring_->write(bytes, length);
        }
        queue_.push_back(SendItem{deadline, length, keepAlive, batch, boardNs});
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
                    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs_.load());
                    lock.unlock();
                    std::uint8_t keepAlive[proto::kKeepAliveSize];
                    enqueue(keepAlive, proto::encodeKeepAlive(keepAlive), deadline, true);
                    lock.lock();
                }
                continue;
            }
        }
        // A batch is open: it closes gapMs after its latest write, a margin
        // before its deadline, or at once when a push (full batch) or the
        // destructor asks for it.
        for (;;) {
            if (closeRequested_) break;
            const auto closeAt = std::min(lastAppend_ + gap, batchDeadline_ - kCloseMargin);
            if (Clock::now() >= closeAt) break;
            batchCond_.wait_until(lock, closeAt);
        }
        std::swap(accBuffer_, closedBuffer_);
        const std::uint32_t length = accLength_;
        const auto deadline = batchDeadline_;
        const std::int64_t boardNs = boardNs_ - lagNs_;
        const std::uint64_t batch = ++closedBatches_;
        unsent_.push_back(Unsent{batch, deadline, boardNs});
        const bool last = finalPushed_;
        accLength_ = 0;
        closeRequested_ = false;
        lock.unlock();
        takenCond_.notify_all();
        enqueue(closedBuffer_.get(), length, deadline, false, batch, boardNs);
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

void BoardTransport::senderLoop() {
    plat::raiseThreadPriority();
    for (;;) {
        SendItem item;
        {
            std::unique_lock<std::mutex> q(queueMutex_);
            queueCond_.wait(q, [this] { return !queue_.empty() || batcherFinished_; });
            // The batcher queues the last datagram before it finishes, so an
            // empty queue now means everything has been sent.
            if (queue_.empty()) return;
            item = queue_.front();
            queue_.pop_front();
            std::lock_guard<std::mutex> r(ringMutex_);
            ring_->read(sendBuffer_.get(), item.length);
        }
        roomCond_.notify_one();
        plat::sleepUntilPrecise(item.deadline);
        Clock::time_point sentAt;
        const bool sent = sendDatagram(sendBuffer_.get(), item.length, item.keepAlive, &sentAt);
        if (sent && item.length != 1) dataSent_.store(true);
        if (item.batch) {
            // The board starts a datagram at the later of its arrival and the
            // end of the one before.
            std::lock_guard<std::mutex> b(boardMutex_);
            if (sent) boardEndSent_ = std::max(boardEndSent_, sentAt) + std::chrono::nanoseconds(item.boardNs);
            lastSentBatch_ = item.batch;
        }
    }
}

bool BoardTransport::sendDatagram(const std::uint8_t* bytes, std::uint32_t length, bool keepAlive,
                                  Clock::time_point* leftAt) {
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
            const auto took = end - start;
            refusedFor_ = took < kQuickSend ? Clock::duration::zero() : refusedFor_ + took;
            return true;
        }
        if (keepAlive && status == plat::SendStatus::NoBuffer) return false;  // the next one will do
        const auto now = Clock::now();
        if (status == plat::SendStatus::Error || now >= giveUp) {
            if (status == plat::SendStatus::NoBuffer) refusedFor_ += now - start;
            sendFailures_.fetch_add(1);
            return false;
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
    std::lock_guard<std::mutex> one(requestMutex_);
    const bool keepAlive = keepAliveEnabled_.exchange(false);
    const std::int64_t timeoutUs = static_cast<std::int64_t>(extraSeconds) * 1000000 +
                                   static_cast<std::int64_t>(std::min(waitMs_.load(), kMaxRequestWaitMs)) * 1000 +
                                   500000;
    // Whatever is waiting now answers nothing this request asks: a reply that
    // came after its own request gave up (it pays off what is owed), or a
    // stray datagram.
    discardWaiting(socket_, &ioMutex_, destination_.addr, &owed_);
    const auto sent = Clock::now();
    push(command, length);
    const auto deadline = sent + std::chrono::microseconds(timeoutUs);
    // The board's usual reply time: the batch leaves within the latency, the
    // board answers at once.
    const auto prompt = sent + std::chrono::milliseconds(std::min(waitMs_.load(), kMaxRequestWaitMs)) + kPromptSlack;
    Reply r = awaitReply(socket_, destination_.addr, command, length, reply, reply ? capacity : 0, deadline, &ioMutex_,
                         &owed_, prompt);
    if (r.status == ReplyStatus::TimedOut) {
        owed_.add(command, length, Clock::now());  // its reply may still come
        plat::messageBox("timeout", "push recv");
    }
    keepAliveEnabled_.store(keepAlive);
    return r.status == ReplyStatus::Answered ? r.length : 0;
}

}  // namespace vesk
