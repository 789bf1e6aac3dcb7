#include "transport/board_timeline.h"

#include <algorithm>
#include <cstdint>

namespace vesk {

BoardTimeline::BoardTimeline(std::uint32_t bufferBytes) : buffer_(bufferBytes) { scratch_.reserve(64); }

BoardTimeline::Duration BoardTimeline::leadFor(TimePoint now, TimePoint firstWrite) const {
    const TimePoint start = std::max(now, end_);
    return firstWrite > start ? firstWrite - start : Duration::zero();
}

std::uint32_t BoardTimeline::heldAt(TimePoint t) const {
    std::uint32_t bytes = 0;
    for (const Held& h : held_)
        if (h.until > t) bytes += h.length;
    return bytes;
}

BoardTimeline::TimePoint BoardTimeline::roomAt(TimePoint now, std::uint32_t length) {
    while (!held_.empty() && held_.front().until <= now) held_.pop_front();
    const std::uint32_t held = heldAt(now);
    if (held + static_cast<std::uint64_t>(length) <= buffer_) return now;
    // Bytes leave the board in the order their holds end, which is not the
    // order sent when an anchored datagram's slack outlasts later ones.
    scratch_.clear();
    for (const Held& h : held_)
        if (h.until > now) scratch_.push_back(h);
    std::sort(scratch_.begin(), scratch_.end(), [](const Held& a, const Held& b) { return a.until < b.until; });
    std::uint64_t still = held;
    for (const Held& h : scratch_) {
        still -= h.length;
        if (still + length <= buffer_) return h.until;
    }
    return scratch_.empty() ? now : scratch_.back().until;
}

BoardTimeline::TimePoint BoardTimeline::sent(TimePoint now, Duration board, std::uint32_t length) {
    const bool anchored = end_ <= now;
    const TimePoint start = anchored ? now : end_;
    end_ = start + board;
    while (!held_.empty() && held_.front().until <= now) held_.pop_front();
    held_.push_back(Held{end_ + kHoldMargin + (anchored ? kAnchorSlack : Duration::zero()), length});
    return start;
}

void BoardTimeline::shift(Duration d) {
    end_ += d;
    for (Held& h : held_) h.until += d;
}

std::int64_t ClockProbes::add(std::int64_t offsetNs) {
    if (!learnt_) {
        offsets_.push_back(offsetNs);
        if (offsets_.size() < kWindow) return 0;
        wayBackNs_ = *std::min_element(offsets_.begin(), offsets_.end());
        offsets_.clear();
        learnt_ = true;
        return 0;
    }
    offsets_.push_back(offsetNs - wayBackNs_);
    if (offsets_.size() > kWindow) offsets_.pop_front();
    const std::int64_t least = *std::min_element(offsets_.begin(), offsets_.end());
    const std::int64_t recent =
        offsets_.size() < kFarAnswers ? INT64_MIN : *std::min_element(offsets_.end() - kFarAnswers, offsets_.end());
    std::int64_t shift = 0;
    if (recent > kFarBehindNs)
        shift = recent;
    else if (least < -kDeadbandNs || (least > kDeadbandNs && offsets_.size() == kWindow))
        shift = least;
    for (auto& o : offsets_) o -= shift;
    return shift;
}

}  // namespace vesk
