#pragma once
// The four protocol records and their exact JSON forms.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "murlo/proto/json.hpp"
#include "murlo/proto/value.hpp"

namespace murlo::proto {

// One roster entry.
struct Member {
    std::uint64_t id = 0;
    std::optional<std::uint64_t> slot;  // key left out when absent
    std::uint64_t incarnation = 0;
    std::optional<std::string> url;  // key left out when absent
    Value state;                     // null when absent on input
    bool ready = false;

    void serialize(Buffer& out) const;
    Member clone() const { return *this; }
    // The member's state passes the filter (only a non-empty object restricts).
    bool matches(const Value& filter) const;
    std::uint64_t roster_hash() const { return roster_hash(id, incarnation); }
    // FNV-1a over id then incarnation (8 little-endian bytes each) from the protocol's start value.
    static std::uint64_t roster_hash(std::uint64_t id, std::uint64_t incarnation);
};

// What a member sends on every heartbeat.
struct Beat {
    std::string pool;
    std::optional<std::uint64_t> slot;  // null when absent
    std::uint64_t id = 0;
    std::uint64_t incarnation = 0;
    std::optional<std::uint64_t> publication;  // key left out when absent
    std::string policy;
    std::optional<std::uint64_t> size;  // null when absent
    std::optional<std::string> url;     // null when absent
    Value state;
    bool ready = false;
    bool leaving = false;
    bool exclusive = false;
    std::vector<std::string> methods;
    std::vector<std::string> watch;
    std::map<std::string, std::uint64_t> seen;  // pool name -> version held
    std::uint64_t hold_ms = 0;

    void serialize(Buffer& out) const;
};

// One pool's changes since a version.
struct PoolDelta {
    std::uint64_t version = 0;
    std::uint64_t roster = 0;
    std::string policy;
    std::vector<std::string> methods;
    std::optional<std::uint64_t> size;  // null when absent
    std::vector<Member> changed;
    std::vector<std::uint64_t> removed;
    bool full = false;

    void serialize(Buffer& out) const;
};

// The registry's answer, as the client holds it: it owns its deltas.
struct BeatAck {
    std::uint64_t epoch = 0;
    std::uint32_t protocol = 0;
    std::string version;  // key left out when empty
    std::uint64_t ttl_ms = 0;
    bool accepted = false;
    std::optional<std::string> refused;  // key left out when absent
    std::map<std::string, PoolDelta> pools;
};

// Readers of whole documents (then only white space).
Result<Beat> read_beat(std::string_view input);
Result<BeatAck> read_beat_ack(std::string_view input);
Result<Member> read_member(std::string_view input);

// "[" members "," ... "]"
void write_members(Buffer& out, std::span<const Member* const> members);
// A new buffer (128 bytes reserved) holding one member's JSON.
Buffer write_member(const Member& member);

// An ack's JSON up to and including `"pools":{`; the caller then writes the
// entries and closes with "}}". Used by the shared-delta writer below.
void write_ack_head(Buffer& out, std::uint64_t epoch, std::uint32_t protocol, std::string_view version,
                    std::uint64_t ttl_ms, bool accepted, const std::optional<std::string>& refused);

// An ack whose pool deltas are shared, read-only: `pools` is any range of
// (name, pointer-like to PoolDelta) pairs; each delta is written in place.
template <class Pools>
void write_shared_ack(Buffer& out, std::uint64_t epoch, std::uint32_t protocol, std::string_view version,
                      std::uint64_t ttl_ms, bool accepted, const std::optional<std::string>& refused,
                      const Pools& pools) {
    write_ack_head(out, epoch, protocol, version, ttl_ms, accepted, refused);
    bool first = true;
    for (const auto& [name, delta] : pools) {
        if (!first) out.push_back(',');
        first = false;
        write_string(out, name);
        out.push_back(':');
        delta->serialize(out);
    }
    out.append("}}");
}

}  // namespace murlo::proto
