// The delta cache, the shared answer's writer and the bounded JSON length.

#include "murlo/registry/delta.hpp"

#include "delta_cache.hpp"
#include "length.hpp"

#include <utility>

#include "murlo/proto/json.hpp"

namespace murlo::registry {

namespace delta {

std::optional<std::size_t> serialized_len(const proto::Value& value, std::size_t limit) {
    Counter counter{0, limit};
    if (!proto::write_value_to(counter, value)) return std::nullopt;
    return counter.count;
}

}  // namespace delta

const Cached* DeltaCache::find(std::optional<std::uint64_t> since) const {
    for (const Cached& entry : entries) {
        if (entry.since == since) return &entry;
    }
    return nullptr;
}

void DeltaCache::insert(std::optional<std::uint64_t> since, SharedDelta delta, std::size_t cost, Drops& drops) {
    // Too costly on its own: the caller keeps its reference, the cache takes none.
    if (cost > max_bytes) return;
    while (entries.size() >= max_entries || bytes + cost > max_bytes) {
        bytes -= entries.front().cost;
        drops.push_back(std::move(entries.front().delta));
        entries.pop_front();
    }
    bytes += cost;
    entries.push_back(Cached{since, std::move(delta), cost});
}

void DeltaCache::clear(Drops& drops) {
    for (Cached& entry : entries) drops.push_back(std::move(entry.delta));
    entries.clear();
    bytes = 0;
}

void SharedBeatAck::serialize(proto::Buffer& out) const {
    proto::write_shared_ack(out, epoch, protocol, version, ttl_ms, accepted, refused, pools);
}

}  // namespace murlo::registry
