#pragma once
// The bounded compact length of a JSON value, for a beat's state limit.

#include <cstddef>
#include <optional>
#include <string_view>

#include "murlo/proto/value.hpp"

namespace murlo::registry::delta {

// Byte-counting sink for proto::write_value_to that refuses a chunk which
// would take the count past the limit ("serialized value exceeds its limit").
struct Counter {
    std::size_t count = 0;
    std::size_t limit = 0;

    bool write_all(std::string_view chunk) {
        if (chunk.size() > limit - count) return false;
        count += chunk.size();
        return true;
    }
    bool append(std::string_view chunk) { return write_all(chunk); }
};

// Exact length of the value's compact JSON, or none once it passes `limit`.
// Builds no text and stops at the first chunk over the limit.
std::optional<std::size_t> serialized_len(const proto::Value& value, std::size_t limit);

}  // namespace murlo::registry::delta
