#include "murlo/proto/records.hpp"

#include "reader.hpp"

namespace murlo::proto {

using detail::Reader;

namespace {

constexpr std::string_view member_keys[] = {"id", "slot", "incarnation", "url", "state", "ready"};
constexpr Reader::RecordShape member_shape{"struct Member", "struct Member with 6 elements", member_keys, 6,
                                           (1u << 0) | (1u << 2) | (1u << 5)};

constexpr std::string_view beat_keys[] = {"pool",    "slot",  "id",    "incarnation", "publication", "policy",
                                          "size",    "url",   "state", "ready",       "leaving",     "exclusive",
                                          "methods", "watch", "seen",  "hold_ms"};
constexpr Reader::RecordShape beat_shape{"struct Beat", "struct Beat with 16 elements", beat_keys, 16,
                                         (1u << 0) | (1u << 2) | (1u << 3) | (1u << 5)};

constexpr std::string_view delta_keys[] = {"version", "roster",  "policy",  "methods",
                                           "size",    "changed", "removed", "full"};
constexpr Reader::RecordShape delta_shape{"struct PoolDelta", "struct PoolDelta with 8 elements", delta_keys, 8,
                                          (1u << 0) | (1u << 1) | (1u << 2)};

constexpr std::string_view ack_keys[] = {"epoch", "protocol", "version", "ttl_ms", "accepted", "refused", "pools"};
constexpr Reader::RecordShape ack_shape{"struct BeatAck", "struct BeatAck with 7 elements", ack_keys, 7,
                                        (1u << 3) | (1u << 4)};

bool read_member_at(Reader& r, Member& m) {
    return r.read_record(member_shape, [&](std::size_t idx) {
        switch (idx) {
            case 0:
                return r.read_u64(m.id);
            case 1:
                return r.read_opt_u64(m.slot);
            case 2:
                return r.read_u64(m.incarnation);
            case 3:
                return r.read_opt_string(m.url);
            case 4:
                return r.read_value(m.state);
            default:
                return r.read_bool(m.ready);
        }
    });
}

bool read_delta_at(Reader& r, PoolDelta& d) {
    return r.read_record(delta_shape, [&](std::size_t idx) {
        switch (idx) {
            case 0:
                return r.read_u64(d.version);
            case 1:
                return r.read_u64(d.roster);
            case 2:
                return r.read_string(d.policy);
            case 3:
                return r.read_string_list(d.methods);
            case 4:
                return r.read_opt_u64(d.size);
            case 5:
                d.changed.clear();
                return r.read_seq([&] {
                    d.changed.emplace_back();
                    return read_member_at(r, d.changed.back());
                });
            case 6:
                return r.read_u64_list(d.removed);
            default:
                return r.read_bool(d.full);
        }
    });
}

void write_string_list(Buffer& out, const std::vector<std::string>& items) {
    out.push_back('[');
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out.push_back(',');
        write_string(out, items[i]);
    }
    out.push_back(']');
}

void write_opt_u64(Buffer& out, const std::optional<std::uint64_t>& v) {
    if (v) {
        write_u64(out, *v);
    } else {
        out.append("null");
    }
}

}  // namespace

void Member::serialize(Buffer& out) const {
    out.append("{\"id\":");
    write_u64(out, id);
    if (slot) {
        out.append(",\"slot\":");
        write_u64(out, *slot);
    }
    out.append(",\"incarnation\":");
    write_u64(out, incarnation);
    if (url) {
        out.append(",\"url\":");
        write_string(out, *url);
    }
    out.append(",\"state\":");
    write_value(out, state);
    out.append(ready ? ",\"ready\":true}" : ",\"ready\":false}");
}

void Beat::serialize(Buffer& out) const {
    out.append("{\"pool\":");
    write_string(out, pool);
    out.append(",\"slot\":");
    write_opt_u64(out, slot);
    out.append(",\"id\":");
    write_u64(out, id);
    out.append(",\"incarnation\":");
    write_u64(out, incarnation);
    if (publication) {
        out.append(",\"publication\":");
        write_u64(out, *publication);
    }
    out.append(",\"policy\":");
    write_string(out, policy);
    out.append(",\"size\":");
    write_opt_u64(out, size);
    out.append(",\"url\":");
    if (url) {
        write_string(out, *url);
    } else {
        out.append("null");
    }
    out.append(",\"state\":");
    write_value(out, state);
    out.append(ready ? ",\"ready\":true" : ",\"ready\":false");
    out.append(leaving ? ",\"leaving\":true" : ",\"leaving\":false");
    out.append(exclusive ? ",\"exclusive\":true" : ",\"exclusive\":false");
    out.append(",\"methods\":");
    write_string_list(out, methods);
    out.append(",\"watch\":");
    write_string_list(out, watch);
    out.append(",\"seen\":{");
    bool first = true;
    for (const auto& [name, version] : seen) {
        if (!first) out.push_back(',');
        first = false;
        write_string(out, name);
        out.push_back(':');
        write_u64(out, version);
    }
    out.append("},\"hold_ms\":");
    write_u64(out, hold_ms);
    out.push_back('}');
}

void PoolDelta::serialize(Buffer& out) const {
    out.append("{\"version\":");
    write_u64(out, version);
    out.append(",\"roster\":");
    write_u64(out, roster);
    out.append(",\"policy\":");
    write_string(out, policy);
    out.append(",\"methods\":");
    write_string_list(out, methods);
    out.append(",\"size\":");
    write_opt_u64(out, size);
    out.append(",\"changed\":[");
    for (std::size_t i = 0; i < changed.size(); ++i) {
        if (i) out.push_back(',');
        changed[i].serialize(out);
    }
    out.append("],\"removed\":[");
    for (std::size_t i = 0; i < removed.size(); ++i) {
        if (i) out.push_back(',');
        write_u64(out, removed[i]);
    }
    out.append(full ? "],\"full\":true}" : "],\"full\":false}");
}

void write_ack_head(Buffer& out, std::uint64_t epoch, std::uint32_t protocol, std::string_view version,
                    std::uint64_t ttl_ms, bool accepted, const std::optional<std::string>& refused) {
    out.append("{\"epoch\":");
    write_u64(out, epoch);
    out.append(",\"protocol\":");
    write_u64(out, protocol);
    if (!version.empty()) {
        out.append(",\"version\":");
        write_string(out, version);
    }
    out.append(",\"ttl_ms\":");
    write_u64(out, ttl_ms);
    out.append(accepted ? ",\"accepted\":true" : ",\"accepted\":false");
    if (refused) {
        out.append(",\"refused\":");
        write_string(out, *refused);
    }
    out.append(",\"pools\":{");
}

void write_members(Buffer& out, std::span<const Member* const> members) {
    out.push_back('[');
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i) out.push_back(',');
        members[i]->serialize(out);
    }
    out.push_back(']');
}

Buffer write_member(const Member& member) {
    Buffer out;
    out.reserve(128);
    member.serialize(out);
    return out;
}

Result<Member> read_member(std::string_view input) {
    Reader r(input);
    Member m;
    if (!read_member_at(r, m) || !r.finish()) return r.take_error();
    return m;
}

Result<Beat> read_beat(std::string_view input) {
    Reader r(input);
    Beat b;
    const bool ok = r.read_record(beat_shape, [&](std::size_t idx) {
        switch (idx) {
            case 0:
                return r.read_string(b.pool);
            case 1:
                return r.read_opt_u64(b.slot);
            case 2:
                return r.read_u64(b.id);
            case 3:
                return r.read_u64(b.incarnation);
            case 4:
                return r.read_opt_u64(b.publication);
            case 5:
                return r.read_string(b.policy);
            case 6:
                return r.read_opt_u64(b.size);
            case 7:
                return r.read_opt_string(b.url);
            case 8:
                return r.read_value(b.state);
            case 9:
                return r.read_bool(b.ready);
            case 10:
                return r.read_bool(b.leaving);
            case 11:
                return r.read_bool(b.exclusive);
            case 12:
                return r.read_string_list(b.methods);
            case 13:
                return r.read_string_list(b.watch);
            case 14:
                b.seen.clear();
                return r.read_map([&](std::string_view key) {
                    std::uint64_t version;
                    if (!r.read_u64(version)) return false;
                    b.seen.insert_or_assign(std::string(key), version);
                    return true;
                });
            default:
                return r.read_u64(b.hold_ms);
        }
    });
    if (!ok || !r.finish()) return r.take_error();
    return b;
}

Result<BeatAck> read_beat_ack(std::string_view input) {
    Reader r(input);
    BeatAck a;
    const bool ok = r.read_record(ack_shape, [&](std::size_t idx) {
        switch (idx) {
            case 0:
                return r.read_u64(a.epoch);
            case 1:
                return r.read_u32(a.protocol);
            case 2:
                return r.read_string(a.version);
            case 3:
                return r.read_u64(a.ttl_ms);
            case 4:
                return r.read_bool(a.accepted);
            case 5:
                return r.read_opt_string(a.refused);
            default:
                a.pools.clear();
                return r.read_map([&](std::string_view key) {
                    PoolDelta d;
                    if (!read_delta_at(r, d)) return false;
                    a.pools.insert_or_assign(std::string(key), std::move(d));
                    return true;
                });
        }
    });
    if (!ok || !r.finish()) return r.take_error();
    return a;
}

}  // namespace murlo::proto
