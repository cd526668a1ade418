#pragma once
// SipHash-1-3 under two zero 64-bit keys: one SipRound per message word, three
// finalisation rounds. Seeds the member-choice generator and hashes field digests.
// Its outputs are compared across processes, so the function is part of the protocol.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace murlo::client::beat {

// Streaming form: feed bytes with `write`, in any chunking, then `finish` once.
class SipHasher13 {
public:
    void write(const void* data, std::size_t len) {
        auto p = static_cast<const unsigned char*>(data);
        total_ += len;
        if (ntail_ != 0) {
            const std::size_t need = 8 - ntail_;
            const std::size_t take = need < len ? need : len;
            tail_ |= load_short(p, take) << (8 * ntail_);
            if (take < need) {
                ntail_ += take;
                return;
            }
            compress(tail_);
            p += take;
            len -= take;
        }
        while (len >= 8) {
            compress(load(p));
            p += 8;
            len -= 8;
        }
        tail_ = load_short(p, len);
        ntail_ = len;
    }
    void write(std::string_view text) { write(text.data(), text.size()); }
    void write_u8(std::uint8_t b) {
        ++total_;
        tail_ |= static_cast<std::uint64_t>(b) << (8 * ntail_);
        if (++ntail_ == 8) {
            compress(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }
    void write_u32(std::uint32_t n) {
        unsigned char b[4];
        for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(n >> (8 * i));
        write(b, 4);
    }
    // Eight little-endian bytes; the common case of the digest, kept branch-light.
    void write_u64(std::uint64_t n) {
        total_ += 8;
        if (ntail_ == 0) {
            compress(n);
            return;
        }
        compress(tail_ | (n << (8 * ntail_)));
        tail_ = n >> (64 - 8 * ntail_);
    }

    std::uint64_t finish() const {
        std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
        const std::uint64_t b = (static_cast<std::uint64_t>(total_ & 0xff) << 56) | tail_;
        v3 ^= b;
        round(v0, v1, v2, v3);
        v0 ^= b;
        v2 ^= 0xff;
        round(v0, v1, v2, v3);
        round(v0, v1, v2, v3);
        round(v0, v1, v2, v3);
        return v0 ^ v1 ^ v2 ^ v3;
    }

private:
    static std::uint64_t load(const unsigned char* p) {
        std::uint64_t m;
        std::memcpy(&m, p, 8);
        if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
        return m;
    }
    // Fewer than eight bytes, little-endian.
    static std::uint64_t load_short(const unsigned char* p, std::size_t len) {
        std::uint64_t m = 0;
        std::size_t i = 0;
        if (len >= 4) {
            std::uint32_t w;
            std::memcpy(&w, p, 4);
            if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
            m = w;
            i = 4;
        }
        for (; i < len; ++i) m |= static_cast<std::uint64_t>(p[i]) << (8 * i);
        return m;
    }
    static void round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }
    void compress(std::uint64_t m) {
        v3_ ^= m;
        round(v0_, v1_, v2_, v3_);
        v0_ ^= m;
    }

    // The key words are zero, so the initial state is the bare constants.
    std::uint64_t v0_ = 0x736f6d6570736575ull;
    std::uint64_t v1_ = 0x646f72616e646f6dull;
    std::uint64_t v2_ = 0x6c7967656e657261ull;
    std::uint64_t v3_ = 0x7465646279746573ull;
    std::uint64_t tail_ = 0;   // pending bytes, little-endian
    std::size_t ntail_ = 0;    // how many, below 8
    std::uint64_t total_ = 0;  // message length so far
};

inline std::uint64_t siphash13(const void* data, std::size_t len) {
    SipHasher13 h;
    h.write(data, len);
    return h.finish();
}
inline std::uint64_t siphash13(std::string_view bytes) { return siphash13(bytes.data(), bytes.size()); }

}  // namespace murlo::client::beat
