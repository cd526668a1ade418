#pragma once
// The registry's internals: pools by name with their live records, versions and
// history, incarnation fences, departure tombstones, parked waiters and delta
// caches, behind one reader-writer lock. Nothing is persisted.
//
// Lock order: the registry lock, then at most one pool's delta cache mutex.
// Waiters are woken, and evicted deltas released, only after the registry lock
// is released (Deferred).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../delta/delta_cache.hpp"
#include "murlo/proto/limits.hpp"
#include "murlo/registry/state.hpp"
#include "murlo/runtime/notify.hpp"
#include "spin_shared_mutex.hpp"

namespace murlo::registry {

// Beat limits, checked before any lock: the ones members check too.
using proto::max_incarnation;
using proto::max_methods;
using proto::max_name_bytes;
using proto::max_state_bytes;
using proto::max_state_depth;
using proto::max_watch;
// Version steps a pool remembers; older `seen` values get a full delta.
inline constexpr std::size_t history_limit = 4'096;

// A lease deadline, and whether the member's current silence has had its one
// extra lease after a stall of the registry. A lease refresh that changes
// nothing else renews it under the registry's shared lock, so both are atomic;
// the sweep reads and graces them under the write lock, which orders it against
// every refresh.
class LeaseDeadline {
public:
    LeaseDeadline() = default;
    LeaseDeadline(Instant at) : ns_(at.time_since_epoch().count()) {}
    LeaseDeadline(const LeaseDeadline& other)
        : ns_(other.ns_.load(std::memory_order_relaxed)), graced_(other.graced_.load(std::memory_order_relaxed)) {}
    LeaseDeadline& operator=(const LeaseDeadline& other) {
        ns_.store(other.ns_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        graced_.store(other.graced_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        return *this;
    }

    Instant load() const { return Instant(Instant::duration(ns_.load(std::memory_order_relaxed))); }
    bool graced() const { return graced_.load(std::memory_order_relaxed); }
    operator Instant() const { return load(); }
    friend bool operator==(const LeaseDeadline& a, Instant b) { return a.load() == b; }

    // A beat of the member: a new deadline, and its silence, if any, is over.
    void renew(Instant at) {
        ns_.store(at.time_since_epoch().count(), std::memory_order_relaxed);
        graced_.store(false, std::memory_order_relaxed);
    }
    // The one extra lease of a silence, until `at`. False, with nothing
    // changed, when this silence has had it already. Under the write lock.
    bool grace(Instant at) {
        if (graced()) return false;
        ns_.store(at.time_since_epoch().count(), std::memory_order_relaxed);
        graced_.store(true, std::memory_order_relaxed);
        return true;
    }

private:
    std::atomic<Instant::rep> ns_{0};
    std::atomic<bool> graced_{false};
};

// One live member of a pool.
struct Record {
    proto::Member member;
    std::optional<std::uint64_t> publication;  // last publication number taken
    LeaseDeadline expires;                     // lease deadline
    std::size_t state_len = 0;                 // compact JSON length of member.state
};

// The incarnation of an id's last accepted leave, stale-making until a sweep at
// or after `until` drops it. A stall of the registry extends `until` once.
struct Departure {
    std::uint64_t incarnation = 0;
    Instant until{};
    bool graced = false;
};

// Work collected under the registry lock and done after it is released:
// declared before the lock, it finishes itself when it goes out of scope, after
// the lock has been released, on every way out of the scope.
struct Deferred {
    // Each inner list is one pool's whole watcher list, taken by a version step.
    std::vector<std::vector<std::weak_ptr<runtime::Notify>>> wake;
    Drops drops;

    Deferred() = default;
    Deferred(const Deferred&) = delete;
    Deferred& operator=(const Deferred&) = delete;
    ~Deferred() { finish(); }

    // Notifies every still-living handle (in order; twice if registered twice),
    // then releases the deltas. Leaves the Deferred empty.
    void finish();
};

struct Pool {
    // Shape.
    std::optional<std::uint64_t> size;
    std::string policy;
    std::vector<std::string> methods;

    // (version, member id) per version step, oldest first, at most history_limit;
    // holds exactly the versions max(1, version - 4095) .. version.
    std::deque<std::pair<std::uint64_t, std::uint64_t>> history;
    std::vector<std::weak_ptr<runtime::Notify>> watchers;
    std::unordered_map<std::uint64_t, Record> records;
    // Highest incarnation accepted from a beat carrying a slot; never lowered.
    std::unordered_map<std::uint64_t, std::uint64_t> fences;
    std::unordered_map<std::uint64_t, Departure> departed;
    std::uint64_t version = 0;
    std::uint64_t roster = 0;  // XOR of the records' roster hashes

    // Deltas of the current version and shape. Readers under the shared lock
    // fill it under `deltas_mutex`; version steps and shape changes empty it
    // under the write lock without the mutex.
    mutable std::mutex deltas_mutex;
    mutable DeltaCache deltas;

    // One version step for `id`; the caller already changed records and roster.
    // Empties the delta cache and hands the watchers to `deferred`.
    void bump(std::uint64_t id, Deferred& deferred);

    // The delta for a member holding `since` (none: it holds nothing): none when
    // it is up to date, from the cache when built already, else built and cached.
    // Caller holds the registry lock, read or write.
    SharedDelta delta(std::optional<std::uint64_t> since, Deferred& deferred) const;

    // Builds the incremental delta after `since` when given, else the full delta,
    // with its cost estimate. The caller decides which one the history allows.
    std::pair<proto::PoolDelta, std::size_t> build_delta(std::optional<std::uint64_t> since) const;
};

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
};

using PoolTable = std::unordered_map<std::string, Pool, NameHash, std::equal_to<>>;

struct Registry::Tables {
    mutable SpinSharedMutex mutex;
    PoolTable pools;

    // Under the lock, write: one weak wake-up per named pool, created when missing.
    void register_watch(std::span<const std::string> names, const std::shared_ptr<runtime::Notify>& notify);
    // Under the lock, read or write: the delta after the beat's `seen` entry
    // for each watched pool that exists and has news.
    void collect(const proto::Beat& beat, Deferred& deferred, SharedDeltas& out) const;
};

}  // namespace murlo::registry
