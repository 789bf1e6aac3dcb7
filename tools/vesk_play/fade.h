// The fade at a looped song's end, through the boards' output attenuators.
#ifndef VESK_PLAY_FADE_H
#define VESK_PLAY_FADE_H

#include <vesk/vesk.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace vesk::play {

// Steps the attenuators of the boards that have one down to silence on a
// thread of its own: a volume exchange waits for the board's answer, which
// the thread that times the writes must never do.
class Fader {
public:
    using Clock = std::chrono::steady_clock;
    // An attenuator takes a write every 100 ms at most.
    static constexpr auto kStep = std::chrono::milliseconds(100);
    static constexpr std::uint32_t kSilent = 63;  // its largest attenuation

    // The boards among addresses (duplicates allowed) that answer for both
    // levels of an attenuator, and those levels.
    Fader(VeskManager* m, const std::vector<std::string>& addresses);
    ~Fader() { stop(); }
    Fader(const Fader&) = delete;
    Fader& operator=(const Fader&) = delete;

    bool any() const { return !boards_.empty(); }
    // From at on, each level goes from where it was to kSilent in even
    // steps over seconds.
    void start(Clock::time_point at, double seconds);
    // Ends the stepping where it is; waits for the thread.
    void stop();
    // The levels back as they were found.
    void restore();

private:
    struct Board {
        std::string address;
        std::uint32_t level[2];
    };
    void run(Clock::time_point at, double seconds);

    VeskManager* m_;
    std::vector<Board> boards_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vesk::play

#endif  // VESK_PLAY_FADE_H
