#pragma once
// The beat limits checked where a value is set: a member never sends a beat
// it knows the registry will refuse, and the caller learns why at once. Each
// check returns the message for a value over its limit, or nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "murlo/proto/value.hpp"

namespace murlo::client::beat {

// The registry's limit on a request body. A longer beat is answered 413 and
// never read, so the member would not join and its loop would send the same
// body again on every beat. The registry does not export it to the client.
inline constexpr std::size_t max_body_bytes = 524'288;

// Bytes of `state` written as compact JSON: what the registry measures.
std::size_t state_bytes(const proto::Value& state);

// Its compact JSON (`bytes`, as state_bytes counts it) over the byte limit, or
// nesting deeper than an answer can carry.
std::optional<std::string> state_over_limit(const proto::Value& state, std::size_t bytes);
std::optional<std::string> url_over_limit(std::string_view url);
// Any name over its limit refuses the whole list.
std::optional<std::string> watch_over_limit(const std::vector<std::string>& names);
// The constructor's values, in parameter order (the policy has no limit of
// its own; the body limit bounds it).
std::optional<std::string> member_over_limit(std::string_view pool, std::uint64_t incarnation,
                                             const std::optional<std::string>& url,
                                             const std::vector<std::string>& methods);

// The longest a beat can be written (Beat::serialize) with these values: the
// loop moves `publication`, `hold_ms`, `ready`, `leaving` and `seen` on its
// own, so they count at their longest (20 digits, false, every watched name
// at a 20-digit version). The sum of three parts, so that a setter recounts
// only its own: the part fixed at construction (every key and punctuation,
// the values of pool, slot, id, incarnation, policy, size, exclusive and
// methods), the url and state values, and the watch list (`watch` and `seen`).
std::size_t fixed_beat_bytes(std::string_view pool, std::optional<std::uint64_t> slot, std::uint64_t id,
                             std::uint64_t incarnation, std::string_view policy, std::optional<std::uint64_t> size,
                             bool exclusive, std::span<const std::string> methods);
std::size_t url_beat_bytes(std::optional<std::string_view> url);
// The watch list `watched` followed by `appended`.
std::size_t watch_beat_bytes(std::span<const std::string> watched, std::span<const std::string> appended = {});
// A beat of `bytes` over the registry's body limit.
std::optional<std::string> beat_over_limit(std::size_t bytes);

}  // namespace murlo::client::beat
