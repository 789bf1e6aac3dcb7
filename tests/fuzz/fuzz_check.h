// What the fuzz targets share: a check that stops the run as a crash (so
// libFuzzer keeps the input), and a reader over the fuzz input.
#ifndef VESK_TESTS_FUZZ_CHECK_H
#define VESK_TESTS_FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// A broken guarantee: printed with its place, then abort(), which libFuzzer
// reports as a crash and saves the input for.
#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: guarantee broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace vesk::fuzz {

// Bytes in a heap block of exactly their size, so that ASan sees any read
// past them; data() is never null, even for none (as a receive buffer is not).
class Bytes {
public:
    Bytes(const std::uint8_t* from, std::size_t n) : p_(new std::uint8_t[n]), n_(n) {
        if (n) std::memcpy(p_.get(), from, n);
    }
    std::uint8_t* data() const { return p_.get(); }
    std::size_t size() const { return n_; }
    std::uint8_t operator[](std::size_t i) const { return p_[i]; }

private:
    std::unique_ptr<std::uint8_t[]> p_;
    std::size_t n_;
};

// Takes bytes off the front of the input; past its end every byte reads 0
// and every slice is empty.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() {
        std::uint16_t lo = byte();
        return static_cast<std::uint16_t>(lo | byte() << 8);
    }
    // The next n bytes (fewer at the end).
    Bytes take(std::size_t n) {
        if (n > size_ - pos_) n = size_ - pos_;
        Bytes out(data_ + pos_, n);
        pos_ += n;
        return out;
    }
    Bytes rest() { return take(size_ - pos_); }
    bool empty() const { return pos_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace vesk::fuzz

#endif  // VESK_TESTS_FUZZ_CHECK_H
