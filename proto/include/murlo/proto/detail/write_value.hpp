#pragma once
// Template part of the writer: one walk over a Value into any sink with
// `bool append(std::string_view)`. The Buffer writers use it with a sink that never refuses.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <variant>

namespace murlo::proto {
struct Value;
}

namespace murlo::proto::detail {

// Digits of n; buf holds at least 20 bytes. Returns the length.
std::size_t format_u64(char* buf, std::uint64_t n);
// A double by writing rule: shortest round-trip digits, plain for decimal
// exponents -5..15 (always with a fraction), scientific with a signed exponent otherwise.
// buf holds at least 32 bytes. Returns the length.
std::size_t format_f64(char* buf, double d);

// 0: copied as is; otherwise the letter after the backslash ('u' for \u00xx).
extern const char escape_table[256];

template <class Sink>
bool put_string(Sink& sink, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    if (!sink.append("\"")) return false;
    std::size_t start = 0;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        // Skip eight plain bytes at a time: no quote, backslash or control byte among them.
        while (i + 8 <= n) {
            constexpr std::uint64_t ones = 0x0101010101010101ull;
            std::uint64_t w;
            std::memcpy(&w, text.data() + i, 8);
            const std::uint64_t q = w ^ (ones * '"');
            const std::uint64_t b = w ^ (ones * '\\');
            const std::uint64_t t = ((q - ones) & ~q) | ((b - ones) & ~b) | ((w - ones * 0x20) & ~w);
            if (t & (ones * 0x80)) break;
            i += 8;
        }
        if (i >= n) break;
        const auto byte = static_cast<unsigned char>(text[i]);
        const char esc = escape_table[byte];
        if (esc == 0) continue;
        if (i > start && !sink.append(text.substr(start, i - start))) return false;
        start = i + 1;
        if (esc == 'u') {
            const char seq[6] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 15]};
            if (!sink.append(std::string_view(seq, 6))) return false;
        } else {
            const char seq[2] = {'\\', esc};
            if (!sink.append(std::string_view(seq, 2))) return false;
        }
    }
    if (start < text.size() && !sink.append(text.substr(start))) return false;
    return sink.append("\"");
}

}  // namespace murlo::proto::detail

#include "murlo/proto/value.hpp"

namespace murlo::proto {

template <class Sink>
bool write_value_to(Sink& sink, const Value& value) {
    char num[32];
    switch (value.v.index()) {
        case 0:
            return sink.append("null");
        case 1:
            return sink.append(std::get<bool>(value.v) ? "true" : "false");
        case 2:
            return sink.append(std::string_view(num, detail::format_u64(num, std::get<std::uint64_t>(value.v))));
        case 3: {
            const std::int64_t n = std::get<std::int64_t>(value.v);
            if (n >= 0)
                return sink.append(std::string_view(num, detail::format_u64(num, static_cast<std::uint64_t>(n))));
            num[0] = '-';
            const std::uint64_t mag = ~static_cast<std::uint64_t>(n) + 1;
            return sink.append(std::string_view(num, 1 + detail::format_u64(num + 1, mag)));
        }
        case 4:
            return sink.append(std::string_view(num, detail::format_f64(num, std::get<double>(value.v))));
        case 5:
            return detail::put_string(sink, std::get<std::string>(value.v));
        case 6: {
            if (!sink.append("[")) return false;
            bool first = true;
            for (const Value& item : std::get<Array>(value.v)) {
                if (!first && !sink.append(",")) return false;
                first = false;
                if (!write_value_to(sink, item)) return false;
            }
            return sink.append("]");
        }
        default: {
            if (!sink.append("{")) return false;
            bool first = true;
            for (const auto& [key, item] : std::get<Object>(value.v)) {
                if (!first && !sink.append(",")) return false;
                first = false;
                if (!detail::put_string(sink, key) || !sink.append(":") || !write_value_to(sink, item)) return false;
            }
            return sink.append("}");
        }
    }
}

}  // namespace murlo::proto
