#pragma once
// The registry's in-memory state: pools by name behind one reader-writer lock,
// their live records, versions and history, incarnation fences, departure
// tombstones, parked waiters and delta caches. Nothing is persisted.
//
// Lock order: the registry lock, then at most one pool's delta cache mutex.
// Waiters are woken, and evicted deltas released, only after the registry lock
// is released (Deferred::finish).

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "murlo/proto/records.hpp"
#include "murlo/registry/delta.hpp"
#include "murlo/registry/spin_shared_mutex.hpp"
#include "murlo/runtime/notify.hpp"

namespace murlo::registry {

// Leases, expiry and tombstones read this clock; every operation that needs the
// time takes it as an argument so that tests can drive it.
using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;
// The lease: any unsigned 64-bit count of milliseconds is legal.
using Lease = std::chrono::duration<std::uint64_t, std::milli>;

// now + lease, saturating at Instant::max() instead of wrapping (leases beyond
// about 292 years do not fit the clock's signed nanoseconds).
Instant deadline_after(Instant now, Lease lease);

// What every answer reports.
inline constexpr std::uint32_t protocol_number = 2;
inline constexpr std::string_view version_text = "0.17.0";

// Beat limits, checked before any lock.
inline constexpr std::size_t max_name_bytes = 512;  // pool, watched, url, method names
inline constexpr std::uint64_t max_incarnation = 4'194'304'000'000'000'000ULL;
inline constexpr std::size_t max_watch = 64;
inline constexpr std::size_t max_methods = 256;
inline constexpr std::size_t max_state_bytes = 16'384;
// Version steps a pool remembers; older `seen` values get a full delta.
inline constexpr std::size_t history_limit = 4'096;

// A lease deadline. A lease refresh that changes nothing else stores it under
// the registry's shared lock, so it is atomic; the sweep reads it under the
// write lock, which orders it against every refresh.
class LeaseDeadline {
public:
    LeaseDeadline() = default;
    LeaseDeadline(Instant at) : ns_(at.time_since_epoch().count()) {}
    LeaseDeadline(const LeaseDeadline& other) : ns_(other.ns_.load(std::memory_order_relaxed)) {}
    LeaseDeadline& operator=(const LeaseDeadline& other) {
        store(other.load());
        return *this;
    }
    LeaseDeadline& operator=(Instant at) {
        store(at);
        return *this;
    }

    Instant load() const { return Instant(Instant::duration(ns_.load(std::memory_order_relaxed))); }
    void store(Instant at) { ns_.store(at.time_since_epoch().count(), std::memory_order_relaxed); }
    operator Instant() const { return load(); }
    friend bool operator==(const LeaseDeadline& a, Instant b) { return a.load() == b; }

private:
    std::atomic<Instant::rep> ns_{0};
};

// One live member of a pool.
struct Record {
    proto::Member member;
    std::optional<std::uint64_t> publication;  // last publication number taken
    LeaseDeadline expires;                     // lease deadline
    std::size_t state_len = 0;                 // compact JSON length of member.state
};

// The incarnation of an id's last accepted leave, stale-making until a sweep at
// or after `until` drops it.
struct Departure {
    std::uint64_t incarnation = 0;
    Instant until{};
};

// Work collected under the registry lock and done after it is released.
struct Deferred {
    // Each inner list is one pool's whole watcher list, taken by a version step.
    std::vector<std::vector<std::weak_ptr<runtime::Notify>>> wake;
    Drops drops;

    // Notifies every still-living handle (in order; twice if registered twice),
    // then releases the deltas. Call only after the registry lock is released.
    // Leaves the Deferred empty.
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

// One line of the pool listing.
struct PoolInfo {
    std::uint64_t version = 0;
    std::uint64_t roster = 0;
    std::size_t members = 0;
};

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
};

class Registry {
public:
    using PoolTable = std::unordered_map<std::string, Pool, NameHash, std::equal_to<>>;

    // The lease in milliseconds; the epoch comes from the wall clock.
    explicit Registry(std::uint64_t ttl_ms);
    Registry(std::uint64_t ttl_ms, std::chrono::system_clock::time_point wall);
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Nanoseconds since 1970 with the lowest bit set; 1 before 1970.
    static std::uint64_t epoch_at(std::chrono::system_clock::time_point wall);

    std::uint64_t epoch() const { return epoch_; }
    Lease ttl() const { return ttl_; }
    std::uint64_t ttl_ms() const { return ttl_.count(); }

    // Applies one decoded beat and collects the deltas of the pools it watches
    // (newer than its `seen`). Never fails: limits, shape and staleness become
    // `accepted` false in the answer.
    SharedBeatAck beat_shared(const proto::Beat& beat, Instant now = Clock::now());

    // Registers a weak wake-up for each named pool (created when missing, a name
    // given twice registers twice); the next version step of a pool notifies it.
    void park(std::span<const std::string> pools, const std::shared_ptr<runtime::Notify>& notify);
    // park(beat.watch, notify), then deltas_shared_for(beat), under one lock.
    SharedDeltas park_and_check(const proto::Beat& beat, const std::shared_ptr<runtime::Notify>& notify);

    // The deltas a held beat waits for: per watched existing pool, the delta
    // after the beat's `seen` entry. Reads only `watch` and `seen`; creates nothing.
    SharedDeltas deltas_shared_for(const proto::Beat& beat) const;

    // Drops passed tombstones and dead waiters, expires records whose lease ran
    // out at `now` (one version step each). Returns the number expired.
    std::size_t sweep(Instant now = Clock::now());
    // The sweep after a stretch, from `stalled_since` to `now`, in which the
    // registry itself did not run (its process stopped or starved): members
    // could not be heard then, so leases and tombstones that ran out within it
    // get one more lease from `now` instead of lapsing. Those that ran out
    // before it are swept as usual. Moves no version of its own.
    std::size_t sweep_after_stall(Instant stalled_since, Instant now = Clock::now());

    // Per pool name: version, roster fingerprint and live member count.
    std::map<std::string, PoolInfo> snapshot() const;

private:
    // Tests and benchmarks read the pool table through it (src/state/access.hpp).
    friend struct RegistryAccess;

    SharedBeatAck answer(bool accepted) const;
    // A beat of the live incarnation that only renews its lease, served under
    // the shared lock into `ack`. False, with nothing done, when the beat may
    // change anything: the write-locked path then decides it from scratch.
    bool refresh_shared(const proto::Beat& beat, Instant now, SharedBeatAck& ack);
    std::size_t sweep_from(std::optional<Instant> stalled_since, Instant now);
    void collect(const proto::Beat& beat, Deferred& deferred, SharedDeltas& out) const;
    void register_watch(std::span<const std::string> pools, const std::shared_ptr<runtime::Notify>& notify);

    mutable SpinSharedMutex mutex_;
    PoolTable pools_;
    std::uint64_t epoch_;
    Lease ttl_;
};

}  // namespace murlo::registry
