#pragma once
// The sweep task's pace: its period, when each tick is due, and whether a tick
// comes after a stall of the registry itself.

#include <chrono>
#include <cstdint>
#include <optional>

#include "murlo/registry/state.hpp"

namespace murlo::registry {

// clamp(ttl_ms / 4, 50, 1000) ms
std::chrono::milliseconds sweep_period(std::uint64_t ttl_ms);
// A tick later than this (a period and a quarter) is a stall of the registry,
// not the timer's ordinary lateness: with the tick before it on time, more than
// two periods and a quarter passed without the registry running.
std::chrono::milliseconds stall_after(std::chrono::milliseconds period);

// Whether a tick due at `due` that fires at `now` comes after a stall: later
// than `late` past its due time and past `previous_end`, when the sweep before
// it would have ended had the registry not stopped during it. A tick that is
// late only because that sweep ran long (a large registry) is not.
bool stalled(Instant due, Instant previous_end, Instant now, std::chrono::milliseconds late);

// The sweep task's clock bookkeeping, apart from its timer and registry.
class SweepSchedule {
public:
    // The first tick is due at `start`.
    SweepSchedule(Instant start, std::chrono::milliseconds period);

    // When the next tick is due: one period after the one before, so that
    // overdue ticks fire back to back until the schedule has caught up.
    Instant due() const { return due_; }
    // The tick due at due() fired at `now`. After a stall, the instant it began
    // (the clock reading of the sweep before), for Registry::sweep_after_stall.
    std::optional<Instant> fire(Instant now);
    // The sweep of the tick that fired last ended at `end` and ran for `ran`
    // of that time (its thread's CPU time). The rest is time it did not run:
    // a stop of the registry in the middle of the sweep, which must not hide
    // the stop from the next tick. A sweep waiting for the registry's lock is
    // off the CPU too, but for milliseconds at most under heavy beat load,
    // well inside the stall limit.
    void swept(Instant end, std::chrono::nanoseconds ran);

private:
    std::chrono::milliseconds period_;
    std::chrono::milliseconds late_;
    Instant due_;
    Instant last_;   // the clock reading of the latest sweep
    Instant ended_;  // when that sweep would have ended had it not stopped
};

}  // namespace murlo::registry
