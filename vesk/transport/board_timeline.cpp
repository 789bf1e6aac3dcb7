#include "transport/board_timeline.h"

#include <algorithm>
#include <cstdint>

namespace vesk {

BoardTimeline::BoardTimeline(std::uint32_t bufferBytes) : buffer_(bufferBytes) {}

BoardTimeline::Duration BoardTimeline::leadFor(TimePoint now, TimePoint firstWrite) const {
    const TimePoint start = std::max(now, end_);
    return firstWrite > start ? firstWrite - start : Duration::zero();
}

std::uint32_t BoardTimeline::heldAt(TimePoint t) const {
    std::uint32_t bytes = 0;
    for (const Held& h : held_)
        if (until(h) > t) bytes += h.length;
    return bytes;
}

BoardTimeline::TimePoint BoardTimeline::roomAt(TimePoint now, std::uint32_t length) {
    while (!held_.empty() && until(held_.front()) <= now) held_.pop_front();
    // Every hold left ends after now, in the order sent.
    std::uint64_t still = heldAt(now);
    if (still + length <= buffer_) return now;
    for (const Held& h : held_) {
        still -= h.length;
        if (still + length <= buffer_) return until(h);
    }
    return held_.empty() ? now : until(held_.back());
}

BoardTimeline::TimePoint BoardTimeline::sent(TimePoint now, Duration board, std::uint32_t length,
                                             TimePoint returned) {
    returned = std::max(returned, now);
    const bool anchored = end_ <= now;
    const TimePoint start = anchored ? now : end_;
    // Anchored: what the board may still lag from before it ran dry shrinks
    // by the time it had to catch up. Chained by the call's start but not by
    // its return: the board may have run dry before it came.
    const Duration late = anchored ? std::max({kAnchorSlack, lag_ - (now - end_), returned - now}) : returned - end_;
    if (anchored || late > lag_) {
        lag_ = late;
        lagMeasured_ = false;
        answers_.clear();
        raisedBy_ = sent_ + 1;
    }
    end_ = start + board;
    while (!held_.empty() && until(held_.front()) <= now) held_.pop_front();
    held_.push_back(Held{end_, length, lag_, ++sent_});
    return start;
}

void BoardTimeline::shift(Duration d) {
    end_ += d;
    for (Held& h : held_) {
        h.end += d;
        h.lag = std::max(h.lag - d, Duration::zero());
    }
    lag_ = std::max(lag_ - d, Duration::zero());
    for (Duration& a : answers_) a = std::max(a - d, Duration::zero());
}

void BoardTimeline::measured(Duration behind, std::uint64_t syncAfter) {
    if (syncAfter < raisedBy_) {
        while (!held_.empty() && held_.front().number <= syncAfter) held_.pop_front();
        return;
    }
    if (behind > lag_ + kFarLag) answers_.clear();
    answers_.push_back(std::max(behind, Duration::zero()));
    if (answers_.size() > kLagAnswers) answers_.pop_front();
    lag_ = *std::min_element(answers_.begin(), answers_.end());
    lagMeasured_ = true;
    // Where the board is now: every byte still held is behind it.
    for (Held& h : held_) h.lag = lag_;
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
    const auto [least, most] = std::minmax_element(offsets_.begin(), offsets_.end());
    const std::int64_t recent =
        offsets_.size() < kFarAnswers ? INT64_MIN : *std::min_element(offsets_.end() - kFarAnswers, offsets_.end());
    std::int64_t shift = 0;
    if (recent > kFarBehindNs)
        shift = recent;
    else if (offsets_.size() == kWindow && *least > kDeadbandNs)
        shift = *least;
    else if (offsets_.size() == kWindow && *most < -kDeadbandNs)
        shift = *most;
    for (auto& o : offsets_) o -= shift;
    return shift;
}

}  // namespace vesk
