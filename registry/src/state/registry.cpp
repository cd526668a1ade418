// Registry state: creation, version steps, parking, sweeping, listing, and the
// work deferred until the registry lock is released.

#include <limits>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "murlo/registry/state.hpp"
#include "pool.hpp"

namespace murlo::registry {

Instant deadline_after(Instant now, Lease lease) {
    using Rep = Instant::rep;
    static_assert(std::is_same_v<Instant::duration, std::chrono::nanoseconds>);
    const Rep now_ns = now.time_since_epoch().count();
    // Room left before the clock's maximum, computed without signed overflow.
    const std::uint64_t headroom =
        static_cast<std::uint64_t>(std::numeric_limits<Rep>::max()) - static_cast<std::uint64_t>(now_ns);
    const std::uint64_t ms = lease.count();
    if (ms > headroom / 1'000'000) return Instant::max();
    const std::uint64_t sum = static_cast<std::uint64_t>(now_ns) + ms * 1'000'000;
    return Instant(Instant::duration(static_cast<Rep>(sum)));
}

void Deferred::finish() {
    // On a worker, after the work at hand: the beat that made the change is
    // answered before the beats it wakes.
    for (auto& list : wake) runtime::notify_later(list);
    wake.clear();
    drops.clear();
}

void Pool::bump(std::uint64_t id, Deferred& deferred) {
    ++version;
    history.emplace_back(version, id);
    while (history.size() > history_limit) history.pop_front();
    deltas.clear(deferred.drops);
    if (!watchers.empty()) {
        deferred.wake.push_back(std::move(watchers));
        watchers.clear();
    }
}

std::uint64_t Registry::epoch_at(std::chrono::system_clock::time_point wall) {
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(wall.time_since_epoch()).count();
    if (since < 0) return 1;
    return static_cast<std::uint64_t>(since) | 1;
}

Registry::Registry(std::uint64_t ttl_ms) : Registry(ttl_ms, std::chrono::system_clock::now()) {}

Registry::Registry(std::uint64_t ttl_ms, std::chrono::system_clock::time_point wall)
    : tables_(std::make_unique<Tables>()), epoch_(epoch_at(wall)), ttl_(ttl_ms) {}

Registry::~Registry() = default;

void Registry::Tables::register_watch(std::span<const std::string> names,
                                      const std::shared_ptr<runtime::Notify>& notify) {
    for (const std::string& name : names) {
        auto it = pools.find(name);
        if (it == pools.end()) it = pools.try_emplace(name).first;
        it->second.watchers.emplace_back(notify);
    }
}

void Registry::Tables::collect(const proto::Beat& beat, Deferred& deferred, SharedDeltas& out) const {
    for (const std::string& name : beat.watch) {
        const auto it = pools.find(name);
        if (it == pools.end()) continue;
        const auto seen = beat.seen.find(name);
        const std::optional<std::uint64_t> since =
            seen == beat.seen.end() ? std::nullopt : std::optional<std::uint64_t>(seen->second);
        if (SharedDelta delta = it->second.delta(since, deferred)) out[name] = std::move(delta);
    }
}

void Registry::park(std::span<const std::string> pools, const std::shared_ptr<runtime::Notify>& notify) {
    std::unique_lock lock(tables_->mutex);
    tables_->register_watch(pools, notify);
}

SharedDeltas Registry::park_and_check(const proto::Beat& beat, const std::shared_ptr<runtime::Notify>& notify) {
    Deferred deferred;
    SharedDeltas out;
    {
        std::unique_lock lock(tables_->mutex);
        tables_->register_watch(beat.watch, notify);
        tables_->collect(beat, deferred, out);
    }
    return out;
}

SharedDeltas Registry::deltas_shared_for(const proto::Beat& beat) const {
    Deferred deferred;
    SharedDeltas out;
    {
        std::shared_lock lock(tables_->mutex);
        tables_->collect(beat, deferred, out);
    }
    return out;
}

std::size_t Registry::sweep(Instant now) { return sweep_from(std::nullopt, now); }

std::size_t Registry::sweep_after_stall(Instant stalled_since, Instant now) { return sweep_from(stalled_since, now); }

std::size_t Registry::sweep_from(std::optional<Instant> stalled_since, Instant now) {
    std::size_t count = 0;
    Deferred deferred;
    std::vector<std::uint64_t> expired;
    // What ran out after the stall began gets one more lease from now, once
    // per silence: what had it already and stayed silent lapses as usual.
    const auto within = [&](Instant at) { return stalled_since && at > *stalled_since; };
    const Instant again = deadline_after(now, ttl_);
    {
        std::unique_lock lock(tables_->mutex);
        for (auto& [name, pool] : tables_->pools) {
            for (auto it = pool.departed.begin(); it != pool.departed.end();) {
                Departure& tomb = it->second;
                if (tomb.until > now) {
                    ++it;
                } else if (within(tomb.until) && !tomb.graced) {
                    tomb.until = again;
                    tomb.graced = true;
                    ++it;
                } else {
                    it = pool.departed.erase(it);
                }
            }
            std::erase_if(pool.watchers, [](const auto& weak) { return weak.expired(); });
            expired.clear();
            for (auto& [id, record] : pool.records) {
                const Instant expires = record.expires.load();
                if (expires > now) continue;
                if (!within(expires) || !record.expires.grace(again)) expired.push_back(id);
            }
            for (const std::uint64_t id : expired) {
                const auto it = pool.records.find(id);
                pool.roster ^= it->second.member.roster_hash();
                pool.records.erase(it);
                pool.bump(id, deferred);
                ++count;
            }
        }
    }
    return count;
}

std::map<std::string, PoolInfo> Registry::snapshot() const {
    std::map<std::string, PoolInfo> out;
    std::shared_lock lock(tables_->mutex);
    for (const auto& [name, pool] : tables_->pools)
        out.emplace(name, PoolInfo{pool.version, pool.roster, pool.records.size()});
    return out;
}

}  // namespace murlo::registry
