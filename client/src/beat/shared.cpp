#include "murlo/client/beat/shared.hpp"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "murlo/client/beat/siphash.hpp"
#include "murlo/runtime/notify.hpp"
#include "murlo/runtime/runtime.hpp"

namespace murlo::client::beat {

namespace {

// Makes two clients of one process hash different seeds even when their
// identities and clock readings are equal.
std::atomic<std::uint64_t> NONCE{0};

void leave_slot(CachedPool& pool, std::uint64_t slot, std::uint64_t id) {
    auto it = pool.slots.find(slot);
    if (it == pool.slots.end()) return;
    it->second.erase(id);
    if (it->second.empty()) pool.slots.erase(it);
}

// One delta into one cache entry, under the cache's write lock.
void apply_delta(CachedPool& entry, const proto::PoolDelta& delta) {
    bool membership = false;
    bool readiness = false;
    if (delta.full || !delta.changed.empty() || !delta.removed.empty()) {
        entry.drop_derived();
        if (delta.full) {
            entry.members.clear();
            entry.slots.clear();
        }
        for (const auto& m : delta.changed) {
            auto [it, inserted] = entry.members.try_emplace(m.id);
            std::optional<std::uint64_t> old_slot;
            if (inserted) {
                membership = true;
                readiness = true;
            } else {
                old_slot = it->second.slot;
                if (it->second.ready != m.ready) readiness = true;
            }
            it->second = m.clone();
            if (old_slot && old_slot == m.slot) continue;
            if (old_slot) leave_slot(entry, *old_slot, m.id);
            if (m.slot) entry.slots[*m.slot].insert(m.id);
        }
        for (std::uint64_t id : delta.removed) {
            auto it = entry.members.find(id);
            if (it == entry.members.end()) continue;
            if (it->second.slot) leave_slot(entry, *it->second.slot, id);
            entry.members.erase(it);
            membership = true;
        }
    }
    if (delta.full || membership)
        entry.reset_ids(true, true);
    else if (readiness)
        entry.reset_ids(false, true);
    entry.version = delta.version;
    entry.roster = delta.roster;
    entry.methods = delta.methods;
    entry.size = delta.size;
}

}  // namespace

Shared::Shared(std::string endpoint_, std::string pool_, std::uint64_t id_, std::uint64_t incarnation_,
               std::string policy_, std::optional<std::uint64_t> slot_, std::optional<std::uint64_t> size_,
               std::optional<std::string> url, std::vector<std::string> methods_, bool exclusive_,
               std::uint64_t coalesce_ms_)
    : slot(slot_),
      size(size_),
      endpoint(std::move(endpoint_)),
      pool(std::move(pool_)),
      policy(std::move(policy_)),
      methods(std::move(methods_)),
      created_at(std::chrono::steady_clock::now()),
      id(id_),
      incarnation(incarnation_),
      coalesce_ms(coalesce_ms_),
      nudge(std::make_shared<runtime::Notify>()),
      acked(std::make_shared<runtime::Notify>()),
      exclusive(exclusive_) {
    published.value.url = std::move(url);
}

Shared::~Shared() = default;

Composed Shared::compose() const {
    Composed out;
    proto::Beat& beat = out.beat;
    {
        std::lock_guard lock(published.mutex);
        beat.state = published.value.state;
        beat.ready = published.value.ready;
        beat.url = published.value.url;
        out.publication = published.value.version;
    }
    {
        std::shared_lock read(cache.lock);
        // apply() moves the epoch under the write lock, so this is the epoch
        // the versions in `seen` were cached from.
        out.epoch = registry_epoch.load();
        {
            std::lock_guard lock(watched.mutex);
            beat.watch = watched.value;
        }
        for (const auto& name : beat.watch) {
            auto it = cache.pools.find(name);
            if (it != cache.pools.end()) beat.seen.emplace(name, it->second.version);
        }
        beat.pool = pool;
        beat.slot = slot;
        beat.id = id;
        beat.incarnation = incarnation;
        beat.publication = out.publication;
        beat.policy = policy;
        beat.size = size;
        beat.leaving = leaving.load();
        beat.exclusive = exclusive;
        beat.methods = methods;
        beat.hold_ms = beat_hold_ms.load(std::memory_order_relaxed);
    }
    return out;
}

void Shared::note_registry(const proto::BeatAck& ack) {
    registry_protocol.store(ack.protocol, std::memory_order_relaxed);
    std::lock_guard lock(registry_version.mutex);
    // An unchanged text stays in place rather than being copied again.
    if (registry_version.value != ack.version) registry_version.value = ack.version;
}

// Composed against the epoch in place when the answer arrives: its incremental
// deltas are stale only when that epoch is a registry that has gone. Before the
// first epoch there is nothing cached they could be relative to.
bool Shared::apply(const proto::BeatAck& ack) { return apply(ack, ack.epoch); }

bool Shared::apply(const proto::BeatAck& ack, std::uint64_t seen_epoch) {
    {
        // One write lock for the epoch test, the drop and the deltas: two callers
        // applying answers of a restarted registry cannot interleave between them.
        std::unique_lock write(cache.lock);
        const std::uint64_t previous = registry_epoch.exchange(ack.epoch);
        // A new epoch means the registry restarted: everything cached is from before.
        const bool restarted = previous != 0 && previous != ack.epoch;
        if (restarted) cache.pools.clear();
        if (ack.accepted) {
            // An incremental delta answers the versions the beat named; those
            // came from another registry when the beat was composed against
            // another epoch, so only full deltas can be trusted then.
            const bool stale = restarted || seen_epoch != ack.epoch;
            for (const auto& [name, delta] : ack.pools) {
                if (stale && !delta.full) continue;
                auto it = cache.pools.find(name);
                if (it == cache.pools.end()) it = cache.pools.try_emplace(name).first;
                if (delta.version < it->second.version) continue;
                apply_delta(it->second, delta);
            }
            return true;
        }
    }
    accepted.store(false);
    if (ack.refused) {
        std::lock_guard lock(refused.mutex);
        refused.value = *ack.refused;
    }
    return false;
}

void Shared::ring() {
    {
        std::lock_guard lock(revision.mutex);
        ++revision.value;
    }
    watch_wakeups.fetch_add(1);
    revision_changed.notify_all();
    std::lock_guard lock(wake_fds.mutex);
    static const char byte = 0x01;
    for (int fd : wake_fds.value) {
        // A negative number can never be open: skip it rather than fail a syscall.
        if (fd < 0) continue;
        // A blocking descriptor that is full would stall the ring (and every
        // caller behind wake_fds) until its reader drains it: write only to
        // what takes a byte right now, and pass over invalid or failed ones.
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 0) != 1 || (p.revents & (POLLNVAL | POLLERR)) || !(p.revents & POLLOUT)) continue;
        [[maybe_unused]] auto written = ::write(fd, &byte, 1);
    }
}

void Shared::renew_signals() {
    for (auto* signal : {&nudge, &acked}) {
        auto fresh = std::make_shared<runtime::Notify>();
        if ((*signal)->try_take()) fresh->notify_one();
        retired_signals_.push_back(std::exchange(*signal, std::move(fresh)));
    }
}

Client::Client(std::string endpoint, std::string pool, std::uint64_t id, std::uint64_t incarnation, std::string policy,
               std::optional<std::uint64_t> slot, std::optional<std::uint64_t> size, std::optional<std::string> url,
               std::optional<std::vector<std::string>> methods, bool exclusive, std::uint64_t coalesce_ms)
    : shared(std::make_shared<Shared>(std::move(endpoint), std::move(pool), id, incarnation, std::move(policy), slot,
                                      size, std::move(url), methods ? std::move(*methods) : std::vector<std::string>{},
                                      exclusive, coalesce_ms)) {
    rng.value = selection_rng(id, incarnation);
}

Client::~Client() {
    // In a forked child the runtime's threads do not exist: shutting it down
    // would wait for them forever. Let go of it as abandon does.
    if (runtime.value && runtime_pid.load() != ::getpid()) runtime.value->abandon();
}

std::uint64_t selection_seed(std::uint32_t pid, std::uint64_t id, std::uint64_t incarnation, std::int64_t seconds,
                             std::uint32_t nanoseconds, std::uint64_t nonce) {
    SipHasher13 h;
    h.write_u32(pid);
    h.write_u64(id);
    h.write_u64(incarnation);
    h.write_u64(static_cast<std::uint64_t>(seconds));
    h.write_u32(nanoseconds);
    h.write_u64(nonce);
    return h.finish();
}

std::uint64_t selection_rng(std::uint64_t id, std::uint64_t incarnation) {
    const auto pid = static_cast<std::uint32_t>(::getpid());
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nonce = NONCE.fetch_add(1);
    return selection_seed(pid, id, incarnation, static_cast<std::int64_t>(now.tv_sec),
                          static_cast<std::uint32_t>(now.tv_nsec), nonce);
}

}  // namespace murlo::client::beat
