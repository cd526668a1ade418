#pragma once
// Built pool deltas and what shares them: the per-pool delta cache, the answer
// whose deltas are shared read-only references, and the bounded compact length
// of a JSON value.

#include <cstddef>
#include <cstdint>
#include <deque>
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

// One cache entry: an incremental delta from `since`, or the full delta (no since).
struct Cached {
    std::optional<std::uint64_t> since;
    SharedDelta delta;
    std::size_t cost = 0;  // estimated compact JSON size, for the byte budget only
};

// Deltas built at one pool's current version and shape, oldest first.
// Guarded by the pool's own mutex, except that clear() runs under the registry's
// write lock, which already excludes every reader.
struct DeltaCache {
    static constexpr std::size_t max_entries = 8;
    static constexpr std::size_t max_bytes = 2'097'152;

    std::deque<Cached> entries;
    std::size_t bytes = 0;  // sum of the entries' costs

    // First entry (oldest first) with this since; none asks for the full delta.
    const Cached* find(std::optional<std::uint64_t> since) const;
    // Appends the entry, evicting oldest entries into `drops` until it fits both
    // limits. A delta costing more than the whole budget is not cached at all.
    void insert(std::optional<std::uint64_t> since, SharedDelta delta, std::size_t cost, Drops& drops);
    // Moves every reference, oldest first, into `drops`; the cache is empty after.
    void clear(Drops& drops);
};

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
