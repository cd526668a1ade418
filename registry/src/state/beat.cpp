// Applying one beat: limits before any lock, then under the write lock the
// pool's shape, the stale test, the change itself, fences, and the deltas of
// the watched pools. Wake-ups and releases follow the unlock.

#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

#include "murlo/proto/json.hpp"
#include "murlo/proto/value.hpp"
#include "../delta/length.hpp"
#include "murlo/registry/state.hpp"
#include "pool.hpp"

namespace murlo::registry {

namespace {

// The beat limits in their fixed order; the state's compact length when all pass.
std::optional<std::size_t> within_limits(const proto::Beat& beat) {
    if (beat.pool.size() > max_name_bytes || beat.incarnation > max_incarnation) return std::nullopt;
    if (beat.watch.size() > max_watch) return std::nullopt;
    for (const std::string& name : beat.watch) {
        if (name.size() > max_name_bytes) return std::nullopt;
    }
    if (beat.url && beat.url->size() > max_name_bytes) return std::nullopt;
    if (beat.methods.size() > max_methods) return std::nullopt;
    for (const std::string& name : beat.methods) {
        if (name.size() > max_name_bytes) return std::nullopt;
    }
    const std::optional<std::size_t> state_len = delta::serialized_len(beat.state, max_state_bytes);
    // Nested deeper than an answer can carry it, a state would make every
    // answer of its pool unreadable to the pool's watchers.
    if (!state_len || proto::nesting_depth(beat.state, max_state_depth) > max_state_depth) return std::nullopt;
    return state_len;
}

std::string policy_refusal(const proto::Beat& beat, const Pool& pool) {
    return "pool " + proto::quoted(beat.pool) + " is running as " + proto::quoted(pool.policy) + ", this member says " +
           proto::quoted(beat.policy);
}

std::string size_refusal(const proto::Beat& beat, const Pool& pool) {
    return "pool " + proto::quoted(beat.pool) + " was opened with size " +
           (pool.size ? std::to_string(*pool.size) : std::string("no size")) + ", this member says " +
           std::to_string(*beat.size);
}

}  // namespace

SharedBeatAck Registry::answer(bool accepted) const {
    SharedBeatAck ack;
    ack.epoch = epoch_;
    ack.protocol = protocol_number;
    ack.version = version_text;
    ack.ttl_ms = ttl_.count();
    ack.accepted = accepted;
    return ack;
}

bool Registry::refresh_shared(const proto::Beat& beat, Instant now, SharedBeatAck& ack) {
    if (beat.leaving) return false;
    Deferred deferred;
    {
        std::shared_lock lock(tables_->mutex);
        const auto it = tables_->pools.find(beat.pool);
        if (it == tables_->pools.end()) return false;
        Pool& pool = it->second;
        const auto found = pool.records.find(beat.id);
        if (found == pool.records.end()) return false;
        Record& record = found->second;
        if (record.member.incarnation != beat.incarnation) return false;
        // The shape step must find nothing to refuse or adopt.
        if (beat.policy != pool.policy || (beat.size && pool.size != beat.size) ||
            (pool.methods.empty() && !beat.methods.empty())) {
            return false;
        }
        // Neither stale (below the fence, or gone) nor raising the fence.
        const auto fence = pool.fences.find(beat.id);
        const std::uint64_t fenced = fence == pool.fences.end() ? 0 : fence->second;
        if (beat.incarnation < fenced || (beat.slot && beat.incarnation > fenced)) return false;
        const auto tomb = pool.departed.find(beat.id);
        if (tomb != pool.departed.end() && beat.incarnation <= tomb->second.incarnation) return false;
        // Publication: either the record's number stops the beat, or neither
        // carries one and the published fields are what the record holds.
        if (record.publication) {
            if (beat.publication && *beat.publication > *record.publication) return false;
        } else {
            const proto::Member& member = record.member;
            if (beat.publication || member.url != beat.url || member.ready != beat.ready ||
                !proto::exact_equal(member.state, beat.state)) {
                return false;
            }
        }
        record.expires.renew(deadline_after(now, ttl_));
        ack.accepted = true;
        tables_->collect(beat, deferred, ack.pools);
    }
    return true;
}

SharedBeatAck Registry::beat_shared(const proto::Beat& beat, Instant now) {
    SharedBeatAck ack = answer(false);
    const std::optional<std::size_t> state_len = within_limits(beat);
    if (!state_len) return ack;
    // The common beat renews a lease and changes nothing: no write lock.
    if (refresh_shared(beat, now, ack)) return ack;

    Deferred deferred;
    {
        std::unique_lock lock(tables_->mutex);
        auto it = tables_->pools.find(beat.pool);
        if (it == tables_->pools.end()) it = tables_->pools.try_emplace(beat.pool).first;
        Pool& pool = it->second;

        // Shape: fixed while the pool has members, taken from the beat otherwise.
        if (!pool.records.empty()) {
            if (beat.policy != pool.policy) {
                ack.refused = policy_refusal(beat, pool);
                return ack;
            }
            if (beat.size && pool.size != beat.size) {
                ack.refused = size_refusal(beat, pool);
                return ack;
            }
            if (pool.methods.empty() && !beat.methods.empty()) {
                pool.deltas.clear(deferred.drops);
                pool.methods = beat.methods;
            }
        } else if (beat.policy != pool.policy || beat.size != pool.size || beat.methods != pool.methods) {
            pool.deltas.clear(deferred.drops);
            pool.policy = beat.policy;
            pool.size = beat.size;
            pool.methods = beat.methods;
        }

        const std::uint64_t id = beat.id;
        const std::uint64_t incarnation = beat.incarnation;
        auto found = pool.records.find(id);
        const auto fence = pool.fences.find(id);
        const std::uint64_t fenced = fence == pool.fences.end() ? 0 : fence->second;
        bool gone = false;
        if (!beat.leaving) {
            const auto tomb = pool.departed.find(id);
            gone = tomb != pool.departed.end() && incarnation <= tomb->second.incarnation;
        }
        const bool is_found = found != pool.records.end();
        const std::uint64_t live = is_found ? found->second.member.incarnation : 0;
        const bool stale = (beat.exclusive && is_found && live != incarnation) || incarnation < fenced || gone ||
                           (is_found && live > incarnation);

        if (!stale) {
            ack.accepted = true;
            if (beat.leaving) {
                if (is_found) {
                    pool.roster ^= found->second.member.roster_hash();
                    pool.records.erase(found);
                    pool.bump(id, deferred);
                }
                pool.departed[id] = Departure{incarnation, deadline_after(now, ttl_)};
            } else if (is_found && live == incarnation) {
                Record& record = found->second;
                record.expires.renew(deadline_after(now, ttl_));
                const bool already =
                    record.publication && (!beat.publication || *beat.publication <= *record.publication);
                if (!already) {
                    record.publication = beat.publication;
                    proto::Member& member = record.member;
                    if (member.url != beat.url || !proto::exact_equal(member.state, beat.state) ||
                        member.ready != beat.ready) {
                        member.url = beat.url;
                        member.state = beat.state;
                        member.ready = beat.ready;
                        record.state_len = *state_len;
                        pool.bump(id, deferred);
                    }
                }
            } else {
                // Join, or replacement of a lower incarnation: one version step for both.
                if (is_found) {
                    pool.roster ^= found->second.member.roster_hash();
                    pool.records.erase(found);
                }
                Record record;
                record.member.id = id;
                record.member.slot = beat.slot;
                record.member.incarnation = incarnation;
                record.member.url = beat.url;
                record.member.state = beat.state;
                record.member.ready = beat.ready;
                record.publication = beat.publication;
                record.expires.renew(deadline_after(now, ttl_));
                record.state_len = *state_len;
                pool.roster ^= record.member.roster_hash();
                pool.records.emplace(id, std::move(record));
                pool.bump(id, deferred);
            }
            if (beat.slot && incarnation > fenced) pool.fences[id] = incarnation;
        }

        tables_->collect(beat, deferred, ack.pools);
    }
    return ack;
}

}  // namespace murlo::registry
