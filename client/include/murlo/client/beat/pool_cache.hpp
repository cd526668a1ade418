#pragma once
// The client's copy of one watched pool, and the derived values queries read.
// `Shared::apply` is the only writer, under the cache's write lock; every
// const operation here runs under the read lock, from any number of threads at
// once. Derived values (id lists, member JSON, last field digest) are built on
// first use and kept until `apply` changes what they were built from; each
// guards itself, so readers build them side by side.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "murlo/proto/records.hpp"
#include "murlo/proto/value.hpp"
#include "murlo/runtime/guarded.hpp"

namespace murlo::client::beat {

using proto::Member;
using proto::Value;
using runtime::Guarded;

// Lock ranks of the cache: its own lock, then one of a pool's derived values
// (or the member-choice generator, or the watch list), then an id list's build.
inline constexpr runtime::LockRank cache_rank = runtime::lock_rank(2);
inline constexpr runtime::LockRank pool_part_rank = runtime::lock_rank(3);
inline constexpr runtime::LockRank id_list_rank = runtime::lock_rank(4);

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
// ask at the same time: one builds under the lock, the others wait for it.
class LazyIds {
public:
    template <class Build>
    std::span<const std::uint64_t> get(Build&& build) const {
        if (!built_.load(std::memory_order_acquire)) {
            auto ids = ids_.lock();
            if (!built_.load(std::memory_order_relaxed)) {
                build(*ids);
                view_ = *ids;
                built_.store(true, std::memory_order_release);
            }
        }
        return view_;
    }
    bool built() const { return built_.load(std::memory_order_acquire); }
    // Only under the cache's write lock, so no reader holds the view.
    void reset() {
        ids_.with_lock([](std::vector<std::uint64_t>& ids) { ids.clear(); });
        view_ = {};
        built_.store(false, std::memory_order_relaxed);
    }

private:
    mutable Guarded<std::vector<std::uint64_t>> ids_{id_list_rank};
    mutable std::atomic<bool> built_{false};
    // The built list; set before `built_`, so a reader that sees the flag sees it.
    mutable std::span<const std::uint64_t> view_;
};

// Position 0: all members, 1: the ready ones.
using Snapshots = std::array<std::optional<SerializedMembers>, 2>;
// The last field list kept and its digest.
using DigestCache = std::optional<std::pair<std::vector<std::string>, std::uint64_t>>;

struct CachedPool {
    std::optional<std::uint64_t> size;
    std::vector<std::string> methods;
    std::map<std::uint64_t, Member> members;                 // ascending by id
    std::map<std::uint64_t, std::set<std::uint64_t>> slots;  // slot -> ids holding it; never empty sets
    std::uint64_t version = 0;
    std::uint64_t roster = 0;
    LazyIds all_ids;
    LazyIds ready_ids;
    mutable Guarded<Snapshots> snapshots{pool_part_rank};
    mutable Guarded<DigestCache> digest_cache{pool_part_rank};

    CachedPool() = default;
    CachedPool(const CachedPool&) = delete;
    CachedPool& operator=(const CachedPool&) = delete;

    // Ascending ids of all members, or of the ready ones.
    std::span<const std::uint64_t> ids(bool require_ready) const;
    // The lowest-id holder of `slot` (the lowest ready one when asked), or null.
    const Member* slot(std::uint64_t slot, bool require_ready) const;
    // A uniformly chosen member passing `filter` (and readiness), or null.
    // Advances `rng`, whose lock the caller holds.
    const Member* choose(const Value& filter, bool require_ready, std::uint64_t& rng) const;
    // Copy of the members' JSON and fingerprint; kept when at most 1 MiB.
    SerializedMembers serialized(bool require_ready) const;
    // SipHash-1-3 over every member's identity and the named fields.
    std::uint64_t field_digest(std::span<const std::string> fields) const;

    // Writer side, only under the cache's write lock.
    void drop_derived();
    void reset_ids(bool all, bool ready);
};

// Only a non-empty object narrows a member list; any other filter matches all.
bool restricts(const Value& filter);

// Members of `ids` (in that order) that pass `filter`.
std::vector<const Member*> matching_members(const CachedPool& pool, std::span<const std::uint64_t> ids,
                                            const Value& filter);

}  // namespace murlo::client::beat
