// Building a pool's delta (incremental inside the history window, full
// otherwise) and sharing it through the pool's cache.

#include <algorithm>
#include <limits>
#include <mutex>

#include "../state/pool.hpp"
#include "murlo/registry/state.hpp"

namespace murlo::registry {

namespace {

constexpr std::size_t overhead = 256;  // per delta and per member
constexpr std::size_t per_byte = 6;    // per byte of policy, method and url text
constexpr std::size_t per_method = 3;
constexpr std::size_t per_removed = 21;  // one id: up to 20 digits and a comma

// Additions to the cost saturate instead of wrapping.
void add(std::size_t& cost, std::size_t n) {
    cost = n > std::numeric_limits<std::size_t>::max() - cost ? std::numeric_limits<std::size_t>::max() : cost + n;
}

std::size_t text_cost(std::size_t len) {
    return len > std::numeric_limits<std::size_t>::max() / per_byte ? std::numeric_limits<std::size_t>::max()
                                                                    : len * per_byte;
}

void add_member(std::size_t& cost, const Record& record) {
    add(cost, overhead);
    add(cost, record.state_len);
    add(cost, text_cost(record.member.url ? record.member.url->size() : 0));
}

}  // namespace

std::pair<proto::PoolDelta, std::size_t> Pool::build_delta(std::optional<std::uint64_t> since) const {
    proto::PoolDelta delta;
    delta.version = version;
    delta.roster = roster;
    delta.policy = policy;
    delta.methods = methods;
    delta.size = size;

    std::size_t cost = overhead;
    add(cost, text_cost(policy.size()));
    for (const std::string& method : methods) {
        add(cost, text_cost(method.size()));
        add(cost, per_method);
    }

    if (since) {
        // Every id a version step after `since` concerned, ascending, once each.
        std::vector<std::uint64_t> ids;
        const std::uint64_t oldest = history.empty() ? 0 : history.front().first;
        std::size_t first = history.size();
        if (*since < version) first = *since + 1 > oldest ? static_cast<std::size_t>(*since + 1 - oldest) : 0;
        ids.reserve(history.size() - std::min(first, history.size()));
        for (std::size_t i = first; i < history.size(); ++i) ids.push_back(history[i].second);
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (const std::uint64_t id : ids) {
            if (auto it = records.find(id); it != records.end()) {
                delta.changed.push_back(it->second.member.clone());
                add_member(cost, it->second);
            } else {
                delta.removed.push_back(id);
                add(cost, per_removed);
            }
        }
    } else {
        delta.full = true;
        delta.changed.reserve(records.size());
        for (const auto& [id, record] : records) {
            delta.changed.push_back(record.member.clone());
            add_member(cost, record);
        }
    }
    return {std::move(delta), cost};
}

SharedDelta Pool::delta(std::optional<std::uint64_t> since, Deferred& deferred) const {
    if (since && *since == version) return nullptr;
    const std::uint64_t oldest = history.empty() ? 0 : history.front().first;
    // Incremental while the history still holds every step after `since`.
    const bool incremental = since && *since < version && *since + 1 >= oldest;
    const std::optional<std::uint64_t> key = incremental ? since : std::nullopt;

    std::lock_guard lock(deltas_mutex);
    if (const Cached* hit = deltas.find(key)) return hit->delta;
    // Built under the mutex so that concurrent askers of one pool share one build.
    auto [built, cost] = build_delta(key);
    SharedDelta shared = std::make_shared<const proto::PoolDelta>(std::move(built));
    deltas.insert(key, shared, cost, deferred.drops);
    return shared;
}

}  // namespace murlo::registry
