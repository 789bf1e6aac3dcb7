// The exception fence of the binary interfaces. Hosts call vesk and the
// adapter across a module boundary and are often built by another compiler:
// an exception thrown through them has no handler that understands it and
// ends the host. Every interface method that can throw (an allocation, a
// thread that cannot start) runs its body through guarded.
#ifndef VESK_PLATFORM_GUARDED_H
#define VESK_PLATFORM_GUARDED_H

#include <utility>

namespace vesk {

// Returns fn()'s result, or fallback when fn throws anything. fn must leave
// the objects it touches usable when it throws part-way (each caller's
// contract says what a host then sees).
template <typename R, typename Fn>
R guarded(R fallback, Fn&& fn) noexcept {
    try {
        return std::forward<Fn>(fn)();
    } catch (...) {
        return fallback;
    }
}

// The same for a body without a result: an exception is dropped.
template <typename Fn>
void guardedVoid(Fn&& fn) noexcept {
    try {
        std::forward<Fn>(fn)();
    } catch (...) {
    }
}

}  // namespace vesk

#endif  // VESK_PLATFORM_GUARDED_H
