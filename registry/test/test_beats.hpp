#pragma once
// The smallest beat that passes the limits: what most registry tests start from.

#include <cstdint>
#include <string>
#include <utility>

#include "murlo/proto/records.hpp"

namespace murlo::registry::testing {

inline proto::Beat minimal_beat(std::string pool, std::uint64_t id, std::uint64_t incarnation) {
    proto::Beat b;
    b.pool = std::move(pool);
    b.id = id;
    b.incarnation = incarnation;
    b.policy = "rr";
    return b;
}

}  // namespace murlo::registry::testing
