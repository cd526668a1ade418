#pragma once
// Test helper: read a document as one kind and write it back, or give the error text.

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "murlo/proto/json.hpp"
#include "murlo/proto/records.hpp"

namespace murlo::proto::testing {

inline std::string write_ack(const BeatAck& a) {
    std::vector<std::pair<std::string, std::shared_ptr<const PoolDelta>>> pools;
    for (const auto& [name, delta] : a.pools) pools.emplace_back(name, std::make_shared<const PoolDelta>(delta));
    Buffer out;
    write_shared_ack(out, a.epoch, a.protocol, a.version, a.ttl_ms, a.accepted, a.refused, pools);
    return out;
}

// "ok <written>" or "error <text>"
inline std::string roundtrip(std::string_view kind, std::string_view input) {
    Buffer out;
    auto finish = [&](const auto& result, auto write) -> std::string {
        if (!result.ok()) return "error " + result.error().text();
        return "ok " + write(result.value());
    };
    if (kind == "value") {
        return finish(read_value(input), [](const Value& v) {
            Buffer b;
            write_value(b, v);
            return b;
        });
    }
    if (kind == "beat") {
        return finish(read_beat(input), [](const Beat& v) {
            Buffer b;
            v.serialize(b);
            return b;
        });
    }
    if (kind == "member") {
        return finish(read_member(input), [](const Member& v) { return write_member(v); });
    }
    return finish(read_beat_ack(input), [](const BeatAck& v) { return write_ack(v); });
}

}  // namespace murlo::proto::testing
