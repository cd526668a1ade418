#pragma once
// The registry's state as its callers see it: the Registry and its operations,
// each taking and releasing the registry's own lock, and the records they
// return. What it holds (pools, records, fences, tombstones, waiters, delta
// caches) is internal (src/state/pool.hpp). Nothing is persisted.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "murlo/proto/records.hpp"
#include "murlo/proto/version.hpp"
#include "murlo/registry/delta.hpp"

namespace murlo::runtime {
class Notify;
}  // namespace murlo::runtime

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
using proto::version_text;

// One line of the pool listing.
struct PoolInfo {
    std::uint64_t version = 0;
    std::uint64_t roster = 0;
    std::size_t members = 0;
};

class Registry {
public:
    // The lease in milliseconds; the epoch comes from the wall clock.
    explicit Registry(std::uint64_t ttl_ms);
    Registry(std::uint64_t ttl_ms, std::chrono::system_clock::time_point wall);
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    ~Registry();

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
    // get one more lease from `now` instead of lapsing. Only once: a record
    // that had it gets none again until it beats, a tombstone none again at
    // all; those, and what ran out before the stretch, are swept as usual.
    // Moves no version of its own.
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

    // The pools and their lock (src/state/pool.hpp).
    struct Tables;
    std::unique_ptr<Tables> tables_;
    std::uint64_t epoch_;
    Lease ttl_;
};

}  // namespace murlo::registry
