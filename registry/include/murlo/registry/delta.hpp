#pragma once
// Built pool deltas as shared read-only references, the answer that carries
// them, and the bounded compact length of a JSON value.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "murlo/proto/records.hpp"
#include "murlo/proto/value.hpp"

namespace murlo::registry {

// A built delta: never changed once built, shared between the cache and answers.
using SharedDelta = std::shared_ptr<const proto::PoolDelta>;
// Watched pool name -> its delta, at most one per name.
using SharedDeltas = std::map<std::string, SharedDelta>;
// References taken out of caches under the registry lock, released after it.
using Drops = std::vector<SharedDelta>;

namespace delta {

// Byte-counting sink for proto::write_value_to that refuses a chunk which
// would take the count past the limit ("serialized value exceeds its limit").
struct Counter {
    std::size_t count = 0;
    std::size_t limit = 0;

    bool write_all(std::string_view chunk) {
        if (chunk.size() > limit - count) return false;
        count += chunk.size();
        return true;
    }
    bool append(std::string_view chunk) { return write_all(chunk); }
};

// Exact length of the value's compact JSON, or none once it passes `limit`.
// Builds no text and stops at the first chunk over the limit.
std::optional<std::size_t> serialized_len(const proto::Value& value, std::size_t limit);

}  // namespace delta

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
