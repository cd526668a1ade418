#pragma once
// The client's copy of one watched pool, and the derived values queries read.
// `Shared::apply` is the only writer, under the cache's write lock; every
// operation here runs under the read lock, from any number of threads at once.
// Derived values (id lists, member JSON, last field digest) are built on first
// use and kept until `apply` changes what they were built from.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "murlo/proto/records.hpp"
#include "murlo/proto/value.hpp"

namespace murlo::client::beat {

using proto::Member;
using proto::Value;

// Member JSON texts above this many bytes are handed out but not kept.
inline constexpr std::size_t kSnapshotKeepBytes = 1'048'576;
// A field list is remembered only up to these bounds.
inline constexpr std::size_t kDigestKeepNames = 64;
inline constexpr std::size_t kDigestKeepNameBytes = 4'096;

struct SerializedMembers {
    std::string json;               // compact JSON array of members
    std::uint64_t fingerprint = 0;  // XOR of their roster hashes
};

// An ascending id list built once between resets, also when several readers
// ask at the same time: one builds, the others wait on `mutex`.
struct LazyIds {
    std::mutex mutex;
    std::atomic<bool> built{false};
    std::vector<std::uint64_t> ids;

    template <class Build>
    std::span<const std::uint64_t> get(Build&& build) {
        if (!built.load(std::memory_order_acquire)) {
            std::lock_guard lock(mutex);
            if (!built.load(std::memory_order_relaxed)) {
                build(ids);
                built.store(true, std::memory_order_release);
            }
        }
        return ids;
    }
    // Only under the cache's write lock.
    void reset() {
        ids.clear();
        built.store(false, std::memory_order_relaxed);
    }
};

struct CachedPool {
    std::optional<std::uint64_t> size;
    std::vector<std::string> methods;
    std::map<std::uint64_t, Member> members;                 // ascending by id
    std::map<std::uint64_t, std::set<std::uint64_t>> slots;  // slot -> ids holding it; never empty sets
    std::uint64_t version = 0;
    std::uint64_t roster = 0;
    LazyIds all_ids;
    LazyIds ready_ids;

    struct Snapshots {
        std::mutex mutex;
        std::array<std::optional<SerializedMembers>, 2> at;  // 0: all members, 1: ready ones
    } snapshots;
    struct DigestCache {
        std::mutex mutex;
        std::optional<std::pair<std::vector<std::string>, std::uint64_t>> value;
    } digest_cache;

    CachedPool() = default;
    CachedPool(const CachedPool&) = delete;
    CachedPool& operator=(const CachedPool&) = delete;

    // Ascending ids of all members, or of the ready ones.
    std::span<const std::uint64_t> ids(bool require_ready);
    // The lowest-id holder of `slot` (the lowest ready one when asked), or null.
    const Member* slot(std::uint64_t slot, bool require_ready) const;
    // A uniformly chosen member passing `filter` (and readiness), or null.
    // Advances `rng`, whose mutex the caller holds.
    const Member* choose(const Value& filter, bool require_ready, std::uint64_t& rng);
    // Copy of the members' JSON and fingerprint; kept when at most 1 MiB.
    SerializedMembers serialized(bool require_ready);
    // SipHash-1-3 over every member's identity and the named fields.
    std::uint64_t field_digest(std::span<const std::string> fields);

    // Writer side, only under the cache's write lock.
    void drop_derived();
    void reset_ids(bool all, bool ready);
};

// Members of `ids` (in that order) that pass `filter`.
std::vector<const Member*> matching_members(const CachedPool& pool, std::span<const std::uint64_t> ids,
                                            const Value& filter);

}  // namespace murlo::client::beat
