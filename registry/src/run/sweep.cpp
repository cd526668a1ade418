// The sweep task's pace and its stall decision.

#include "sweep.hpp"

#include <algorithm>

namespace murlo::registry {

std::chrono::milliseconds sweep_period(std::uint64_t ttl_ms) {
    return std::chrono::milliseconds(std::clamp<std::uint64_t>(ttl_ms / 4, 50, 1000));
}

std::chrono::milliseconds stall_after(std::chrono::milliseconds period) { return period * 5 / 4; }

bool stalled(Instant due, Instant previous_end, Instant now, std::chrono::milliseconds late) {
    return now - std::max(due, previous_end) > late;
}

SweepSchedule::SweepSchedule(Instant start, std::chrono::milliseconds period)
    : period_(period), late_(stall_after(period)), due_(start), last_(start), ended_(start) {}

std::optional<Instant> SweepSchedule::fire(Instant now) {
    std::optional<Instant> since;
    if (stalled(due_, ended_, now, late_)) since = last_;
    last_ = now;
    due_ += period_;
    return since;
}

void SweepSchedule::swept(Instant end, std::chrono::nanoseconds ran) {
    ended_ = std::min(end, last_ + std::max(ran, std::chrono::nanoseconds::zero()));
}

}  // namespace murlo::registry
