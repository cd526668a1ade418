#pragma once
// Built pool deltas as shared read-only references, and the answer that
// carries them.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "murlo/proto/records.hpp"
#include "murlo/proto/value.hpp"

namespace murlo::registry {

// A built delta: never changed once built, shared between the cache and answers.
using SharedDelta = std::shared_ptr<const proto::PoolDelta>;
// Watched pool name -> its delta, at most one per name.
using SharedDeltas = std::map<std::string, SharedDelta>;

// The registry's answer to one beat, written as BeatAck JSON with every delta
// written in place from the shared copy. The long-poll hold may replace `pools`.
struct SharedBeatAck {
    std::uint64_t epoch = 0;
    std::uint32_t protocol = 0;
    std::string version;
    std::uint64_t ttl_ms = 0;
    bool accepted = false;
    std::optional<std::string> refused;
    SharedDeltas pools;

    // Appends the compact BeatAck JSON; takes no lock, only reads.
    void serialize(proto::Buffer& out) const;
};

}  // namespace murlo::registry
