#pragma once
// The beat limits both sides keep: the registry refuses a beat over any of
// them, and the client refuses the value where it is set, so that it never
// sends a beat it knows will be refused.

#include <cstddef>
#include <cstdint>

namespace murlo::proto {

// Bytes of a pool name, a watched name, a URL or a method name.
inline constexpr std::size_t max_name_bytes = 512;
// The highest incarnation a beat may carry.
inline constexpr std::uint64_t max_incarnation = 4'194'304'000'000'000'000ULL;
// Names in a beat's watch list.
inline constexpr std::size_t max_watch = 64;
// Names in a beat's methods.
inline constexpr std::size_t max_methods = 256;
// Bytes of the published state written as compact JSON.
inline constexpr std::size_t max_state_bytes = 16'384;
// Levels of arrays and objects in a published state (a scalar has none). An
// answer carries a member's state below five levels of its own (the ack, the
// pools map, the delta, the changed list, the member) and its reader stops at
// 127 in all, so a deeper state would make every answer of its pool unreadable.
inline constexpr std::size_t max_state_depth = 122;

}  // namespace murlo::proto
