// Timed writes: a host that knows its timeline (a file player) gives its
// writes their time instead of being timed by the call. The time belongs to
// the calling thread and holds for the writes it makes through the chips'
// write and writeData until it sets another or clears it; every other push
// (a request, a reset's silence, the clock set, another thread's writes) is
// timed by the call as before.
//
// Times are on the steady clock, in ns since its epoch: what now() reads.
#ifndef VESK_TRANSPORT_WRITE_TIME_H
#define VESK_TRANSPORT_WRITE_TIME_H

#include <cstdint>

namespace vesk {
namespace writetime {

constexpr std::int64_t kByCall = INT64_MIN;

// The steady clock, ns.
std::int64_t now();
// The calling thread's write time (kByCall: timed by the call).
void set(std::int64_t ns);
std::int64_t get();

// Marks the chip write the calling thread is in: only then does a push take
// the thread's time. Nests.
class HostWrite {
public:
    HostWrite();
    ~HostWrite();
    HostWrite(const HostWrite&) = delete;
    HostWrite& operator=(const HostWrite&) = delete;

    // The time of the host write the calling thread is in, kByCall outside
    // one or when its thread set none.
    static std::int64_t current();

private:
    bool was_;
};

}  // namespace writetime
}  // namespace vesk

#endif  // VESK_TRANSPORT_WRITE_TIME_H
