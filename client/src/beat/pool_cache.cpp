#include "murlo/client/beat/pool_cache.hpp"

#include <cstring>
#include <stdexcept>
#include <string_view>

#include "murlo/client/beat/siphash.hpp"
#include "murlo/client/beat/wyrand.hpp"
#include "murlo/proto/json.hpp"

namespace murlo::client::beat {

namespace {

const Member& member_of(const CachedPool& pool, std::uint64_t id) {
    auto it = pool.members.find(id);
    if (it == pool.members.end()) throw std::logic_error("pool cache: listed id without a member");
    return it->second;
}

// A state entry by key. States are small objects: a linear scan that compares
// lengths first beats the binary search's string comparisons there.
const Value* state_entry(const Value& state, std::string_view key) {
    const auto* object = state.as_object();
    if (object == nullptr) return nullptr;
    if (object->size() > 16) return state.find(key);
    for (const auto& [k, v] : *object)
        if (k.size() == key.size() && std::memcmp(k.data(), key.data(), key.size()) == 0) return &v;
    return nullptr;
}

// A text that needs no escapes is written as itself between quotes.
bool plain_text(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == '"' || c == '\\') return false;
    return true;
}

}  // namespace

bool restricts(const Value& filter) {
    const auto* object = filter.as_object();
    return object != nullptr && !object->empty();
}

std::span<const std::uint64_t> CachedPool::ids(bool require_ready) const {
    // `members` is ordered by id, so a walk yields the ascending lists directly.
    if (require_ready) {
        return ready_ids.get([this](std::vector<std::uint64_t>& out) {
            for (const auto& [id, m] : members)
                if (m.ready) out.push_back(id);
        });
    }
    return all_ids.get([this](std::vector<std::uint64_t>& out) {
        out.reserve(members.size());
        for (const auto& entry : members) out.push_back(entry.first);
    });
}

const Member* CachedPool::slot(std::uint64_t slot, bool require_ready) const {
    auto it = slots.find(slot);
    if (it == slots.end()) return nullptr;
    for (std::uint64_t id : it->second) {
        const Member& m = member_of(*this, id);
        if (!require_ready || m.ready) return &m;
    }
    return nullptr;
}

const Member* CachedPool::choose(const Value& filter, bool require_ready, std::uint64_t& rng) const {
    if (restricts(filter)) {
        // Reservoir of one: the k-th match replaces the choice with odds 1/k.
        const Member* chosen = nullptr;
        std::uint64_t k = 0;
        for (const auto& [id, m] : members) {
            if (require_ready && !m.ready) continue;
            if (!m.matches(filter)) continue;
            ++k;
            if (draw_below(rng, k) == 0) chosen = &m;
        }
        return chosen;
    }
    auto list = ids(require_ready);
    if (list.empty()) return nullptr;
    return &member_of(*this, list[draw_below(rng, list.size())]);
}

SerializedMembers CachedPool::serialized(bool require_ready) const {
    auto at = snapshots.lock();
    auto& kept = (*at)[require_ready ? 1 : 0];
    if (kept) return *kept;

    SerializedMembers out;
    // The other list, when kept, is a fair guess of the size.
    if (const auto& other = (*at)[require_ready ? 0 : 1]) out.json.reserve(other->json.size());
    out.json.push_back('[');
    bool first = true;
    for (const auto& [id, m] : members) {
        if (require_ready && !m.ready) continue;
        if (!first) out.json.push_back(',');
        first = false;
        m.serialize(out.json);
        out.fingerprint ^= m.roster_hash();
    }
    out.json.push_back(']');
    if (out.json.size() <= kSnapshotKeepBytes) kept = out;
    return out;
}

std::uint64_t CachedPool::field_digest(std::span<const std::string> fields) const {
    auto locked = digest_cache.lock();
    auto& kept = *locked;
    if (kept && kept->first.size() == fields.size()) {
        bool same = true;
        for (std::size_t i = 0; i < fields.size() && same; ++i) same = kept->first[i] == fields[i];
        if (same) return kept->second;
    }

    enum class Kind { url, ready, state };
    std::vector<Kind> kinds;
    kinds.reserve(fields.size());
    std::size_t name_bytes = 0;
    for (const auto& name : fields) {
        name_bytes += name.size();
        kinds.push_back(name == "url" ? Kind::url : name == "ready" ? Kind::ready : Kind::state);
    }

    SipHasher13 h;
    proto::Buffer scratch;
    for (const auto& [id, m] : members) {
        h.write_u64(id);
        h.write_u64(m.incarnation);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            switch (kinds[i]) {
                case Kind::url:
                    if (!m.url) {
                        h.write_u64(0);
                    } else {
                        h.write_u64(1);
                        h.write(*m.url);
                        h.write_u8(0xff);
                    }
                    break;
                case Kind::ready:
                    h.write_u8(m.ready ? 1 : 0);
                    break;
                case Kind::state:
                    if (const Value* v = state_entry(m.state, fields[i])) {
                        const std::string* text = v->as_string();
                        if (text != nullptr && plain_text(*text)) {
                            h.write_u8('"');
                            h.write(*text);
                            h.write_u8('"');
                        } else {
                            scratch.clear();
                            proto::write_value(scratch, *v);
                            h.write(scratch);
                        }
                    }
                    h.write_u8(0xff);
                    break;
            }
        }
    }
    const std::uint64_t digest = h.finish();
    if (fields.size() <= kDigestKeepNames && name_bytes <= kDigestKeepNameBytes)
        kept.emplace(std::vector<std::string>(fields.begin(), fields.end()), digest);
    return digest;
}

void CachedPool::drop_derived() {
    // One at a time: the two never nest.
    snapshots.with_lock([](Snapshots& at) { at = {}; });
    digest_cache.with_lock([](DigestCache& kept) { kept.reset(); });
}

void CachedPool::reset_ids(bool all, bool ready) {
    if (all) all_ids.reset();
    if (ready) ready_ids.reset();
}

std::vector<const Member*> matching_members(const CachedPool& pool, std::span<const std::uint64_t> ids,
                                            const Value& filter) {
    std::vector<const Member*> out;
    for (std::uint64_t id : ids) {
        const Member& m = member_of(pool, id);
        if (m.matches(filter)) out.push_back(&m);
    }
    return out;
}

}  // namespace murlo::client::beat
