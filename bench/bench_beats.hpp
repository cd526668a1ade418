#pragma once
// The member beats the in-process registry benchmarks and their baselines share.

#include <cstdint>
#include <string>

#include "murlo/proto/records.hpp"

namespace murlo::bench {

inline proto::Value state_of(std::uint64_t load) {
    using proto::Value;
    return Value::object({{"load", Value(load)}, {"zone", Value("eu-west-1")}, {"ready_at", Value(1.5)}});
}

// A member of `pool` with a slot, a url, a three-key state and two methods, watching its own pool.
inline proto::Beat member(std::uint64_t id, std::string pool = "p") {
    proto::Beat b;
    b.pool = std::move(pool);
    b.id = id;
    b.incarnation = 1;
    b.slot = id;
    b.publication = 1;
    b.policy = "rr";
    b.url = "http://10.0.0." + std::to_string(id % 250) + ":8080/" + std::to_string(id);
    b.state = state_of(id % 7);
    b.ready = true;
    b.methods = {"get", "put"};
    b.watch = {b.pool};
    return b;
}

}  // namespace murlo::bench
