// A byte ring of power-of-two capacity between a transport's batcher, which
// writes whole batches, and its sender, which reads them back one datagram at
// a time. On overrun it drops the oldest bytes instead of refusing the write.
//
// No lock of its own: the owner guards every call with one mutex.
#ifndef VESK_TRANSPORT_RING_BUFFER_H
#define VESK_TRANSPORT_RING_BUFFER_H

#include <cstdint>
#include <cstring>
#include <memory>

namespace vesk {

template <typename T>
class RingBuffer {
public:
    // Capacity is the smallest power of two >= requested, and at least 2.
    // A request of 0 is taken as 1 (capacity 2); requests above 2^31 are
    // capped at 2^31, the largest power of two a u32 can hold.
    explicit RingBuffer(std::uint32_t requested) {
        if (requested == 0) requested = 1;
        if (requested > 0x80000000u) requested = 0x80000000u;
        std::uint32_t x = requested - 1;
        std::uint32_t v = 0;
        do {
            x >>= 1;
            v = 2 * v + 1;
        } while (x != 0);
        capacity_ = v + 1;
        mask_ = v;
        storage_.reset(new T[capacity_]());
    }
    virtual ~RingBuffer() = default;
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    // Appends len items. When that overruns unread items, the oldest are
    // dropped: count becomes capacity and reading starts at the oldest
    // survivor. A block longer than the capacity keeps only its last
    // capacity items (the same rule, applied to the block itself).
    void write(const T* data, std::uint32_t len) {
        if (len > capacity_) {
            data += len - capacity_;
            len = capacity_;
        }
        std::uint32_t end = writeIndex_ + len;
        if (end & ~mask_) {
            std::uint32_t first = capacity_ - writeIndex_;
            std::memcpy(storage_.get() + writeIndex_, data, first * sizeof(T));
            std::memcpy(storage_.get(), data + first, (end & mask_) * sizeof(T));
            writeIndex_ = end & mask_;
        } else {
            std::memcpy(storage_.get() + writeIndex_, data, len * sizeof(T));
            writeIndex_ = end;
        }
        // 64-bit sum: count + len can exceed 2^32 - 1 only with a 2^31 ring.
        std::uint64_t total = static_cast<std::uint64_t>(count_) + len;
        if (total > capacity_) {
            count_ = capacity_;
            readIndex_ = writeIndex_;
        } else {
            count_ = static_cast<std::uint32_t>(total);
        }
    }

    void write(T item) {
        storage_[writeIndex_] = item;
        writeIndex_ = (writeIndex_ + 1) & mask_;
        if (count_ < capacity_)
            ++count_;
        else
            readIndex_ = writeIndex_;
    }

    // Reads len items into out. When fewer than len are unread, nothing is
    // read and nothing changes (out keeps what it held); returns whether the
    // read happened.
    bool read(T* out, std::uint32_t len) {
        if (len > count_) return false;
        std::uint32_t end = readIndex_ + len;
        if (end & ~mask_) {
            std::uint32_t first = capacity_ - readIndex_;
            std::memcpy(out, storage_.get() + readIndex_, first * sizeof(T));
            std::memcpy(out + first, storage_.get(), (end & mask_) * sizeof(T));
            readIndex_ = end & mask_;
        } else {
            std::memcpy(out, storage_.get() + readIndex_, len * sizeof(T));
            readIndex_ = end;
        }
        count_ -= len;
        return true;
    }

    std::uint32_t capacity() const { return capacity_; }
    std::uint32_t mask() const { return mask_; }
    std::uint32_t count() const { return count_; }
    std::uint32_t writeIndex() const { return writeIndex_; }
    std::uint32_t readIndex() const { return readIndex_; }

private:
    std::uint32_t capacity_ = 0;
    std::uint32_t mask_ = 0;
    std::uint32_t count_ = 0;
    std::uint32_t writeIndex_ = 0;
    std::uint32_t readIndex_ = 0;
    std::unique_ptr<T[]> storage_;
};

}  // namespace vesk

#endif  // VESK_TRANSPORT_RING_BUFFER_H
