#pragma once
// What most registry tests start from: the smallest beat that passes the
// limits, and a start time.

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "murlo/proto/records.hpp"
#include "murlo/registry/state.hpp"

namespace murlo::registry::testing {

// An hour past the clock's zero, so that a test may step back from it.
inline const Instant t0 = Instant{} + std::chrono::hours(1);

inline proto::Beat minimal_beat(std::string pool, std::uint64_t id, std::uint64_t incarnation) {
    proto::Beat b;
    b.pool = std::move(pool);
    b.id = id;
    b.incarnation = incarnation;
    b.policy = "rr";
    return b;
}

}  // namespace murlo::registry::testing
