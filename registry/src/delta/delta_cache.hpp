#pragma once
// The per-pool cache of built deltas.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "murlo/registry/delta.hpp"

namespace murlo::registry {

// References taken out of caches under the registry lock, released after it.
using Drops = std::vector<SharedDelta>;

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

}  // namespace murlo::registry
