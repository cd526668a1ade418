#pragma once
// wyrand and the bounded draw behind member choice. The constants are fixed so a
// given generator state picks the same member everywhere.

#include <cstdint>

namespace murlo::client::beat {

// One step: advances `state` and returns the output.
inline std::uint64_t wyrand(std::uint64_t& state) {
    state += 0x2d358dccaa6c78a5ull;
    unsigned __int128 m = static_cast<unsigned __int128>(state) * (state ^ 0x8bb84b93962eacc9ull);
    return static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64);
}

// Uniform in 0 .. n-1 (n >= 1) by multiply-and-reject; usually one step of the generator.
inline std::uint64_t draw_below(std::uint64_t& state, std::uint64_t n) {
    unsigned __int128 m = static_cast<unsigned __int128>(wyrand(state)) * n;
    auto low = static_cast<std::uint64_t>(m);
    if (low < n) {
        // (2^64 - n) mod n, computed only when a rejection is possible.
        const std::uint64_t threshold = (0 - n) % n;
        while (low < threshold) {
            m = static_cast<unsigned __int128>(wyrand(state)) * n;
            low = static_cast<std::uint64_t>(m);
        }
    }
    return static_cast<std::uint64_t>(m >> 64);
}

}  // namespace murlo::client::beat
