#include "fade.h"

#include <algorithm>
#include <cmath>

#include "platform/platform.h"

namespace vesk::play {

Fader::Fader(VeskManager* m, const std::vector<std::string>& addresses) : m_(m) {
    for (const std::string& a : addresses) {
        if (std::any_of(boards_.begin(), boards_.end(), [&](const Board& b) { return b.address == a; })) continue;
        Board b{a, {0, 0}};
        if (m_->getOutputVolume(a.c_str(), &b.level[0], 0, 0) && m_->getOutputVolume(a.c_str(), &b.level[1], 1, 0))
            boards_.push_back(b);
    }
}

void Fader::start(Clock::time_point at, double seconds) {
    stop();
    stop_ = false;
    thread_ = std::thread([this, at, seconds] { run(at, seconds); });
}

void Fader::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Fader::restore() {
    for (const Board& b : boards_)
        for (std::uint32_t c = 0; c < 2; ++c) m_->setOutputVolume(b.address.c_str(), b.level[c], c, 0);
}

void Fader::run(Clock::time_point at, double seconds) {
    const int steps = std::max(1, static_cast<int>(std::lround(seconds * 1000 / kStep.count())));
    for (int k = 1; k <= steps; ++k) {
        // Short sleeps, so that stop() is not kept waiting.
        for (const auto due = at + kStep * (k - 1); Clock::now() < due;) {
            if (stop_) return;
            plat::sleepUntil(std::min(due, Clock::now() + std::chrono::milliseconds(20)));
        }
        if (stop_) return;
        for (const Board& b : boards_)
            for (std::uint32_t c = 0; c < 2; ++c) {
                const std::uint32_t level = b.level[c] + (kSilent - std::min(b.level[c], kSilent)) * k / steps;
                m_->setOutputVolume(b.address.c_str(), level, c, 0);
            }
    }
}

}  // namespace vesk::play
