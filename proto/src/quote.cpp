// The quoted form of a name inside a message, and of a string in "invalid type"
// descriptions: readable, one line, and unambiguous for any bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "murlo/proto/json.hpp"

namespace murlo::proto {

namespace detail {
// Generated table (unicode_tables.cpp): not printable, or a combining mark.
bool escaped_in_quotes(char32_t cp);
}  // namespace detail

namespace {

bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

// One well-formed UTF-8 sequence at text[i] (no overlong forms, no surrogates,
// nothing above U+10FFFF); 0 when the bytes there are not one.
std::size_t decode(std::string_view text, std::size_t i, char32_t& cp) {
    const std::size_t left = text.size() - i;
    const auto b0 = static_cast<unsigned char>(text[i]);
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (left < 2 || !is_cont(at(1))) return 0;
        cp = (char32_t(b0 & 0x1F) << 6) | (at(1) & 0x3F);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (left < 3) return 0;
        const unsigned char b1 = at(1);
        const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
        if (b1 < lo || b1 > hi || !is_cont(at(2))) return 0;
        cp = (char32_t(b0 & 0x0F) << 12) | (char32_t(b1 & 0x3F) << 6) | (at(2) & 0x3F);
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (left < 4) return 0;
        const unsigned char b1 = at(1);
        const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
        if (b1 < lo || b1 > hi || !is_cont(at(2)) || !is_cont(at(3))) return 0;
        cp = (char32_t(b0 & 0x07) << 18) | (char32_t(b1 & 0x3F) << 12) | (char32_t(at(2) & 0x3F) << 6) | (at(3) & 0x3F);
        return 4;
    }
    return 0;
}

// "\" letter "{" lower-case hex without leading zeros "}"
void put_braced(std::string& out, char letter, std::uint32_t n) {
    static constexpr char hex[] = "0123456789abcdef";
    char digits[8];
    int len = 0;
    do {
        digits[len++] = hex[n & 15];
        n >>= 4;
    } while (n != 0);
    out.push_back('\\');
    out.push_back(letter);
    out.push_back('{');
    while (len > 0) out.push_back(digits[--len]);
    out.push_back('}');
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        // Printable ASCII is by far the common case.
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        switch (b) {
            case '"':
                out.append("\\\"");
                ++i;
                continue;
            case '\\':
                out.append("\\\\");
                ++i;
                continue;
            case '\t':
                out.append("\\t");
                ++i;
                continue;
            case '\r':
                out.append("\\r");
                ++i;
                continue;
            case '\n':
                out.append("\\n");
                ++i;
                continue;
            case '\0':
                out.append("\\0");
                ++i;
                continue;
            default:
                break;
        }
        char32_t cp = 0;
        const std::size_t len = decode(text, i, cp);
        if (len == 0) {
            // Not UTF-8: name the byte itself and resynchronise on the next one.
            put_braced(out, 'x', b);
            ++i;
        } else if (detail::escaped_in_quotes(cp)) {
            put_braced(out, 'u', static_cast<std::uint32_t>(cp));
            i += len;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace murlo::proto
