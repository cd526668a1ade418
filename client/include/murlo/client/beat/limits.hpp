#pragma once
// The beat limits checked where a value is set: a member never sends a beat
// it knows the registry will refuse, and the caller learns why at once. Each
// check returns the message for a value over its limit, or nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "murlo/proto/value.hpp"

namespace murlo::client::beat {

// Bytes of `state` written as compact JSON: what the registry measures.
std::size_t state_bytes(const proto::Value& state);

// Its compact JSON over the byte limit, or nesting deeper than an answer can carry.
std::optional<std::string> state_over_limit(const proto::Value& state);
std::optional<std::string> url_over_limit(std::string_view url);
// Any name over its limit refuses the whole list.
std::optional<std::string> watch_over_limit(const std::vector<std::string>& names);
// The constructor's values, in parameter order (the policy has no limit).
std::optional<std::string> member_over_limit(std::string_view pool, std::uint64_t incarnation,
                                             const std::optional<std::string>& url,
                                             const std::vector<std::string>& methods);

}  // namespace murlo::client::beat
