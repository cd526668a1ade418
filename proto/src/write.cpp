#include <charconv>
#include <cmath>
#include <cstring>

#include "murlo/proto/json.hpp"

namespace murlo::proto {

namespace detail {

const char escape_table[256] = {
    // 0x00 - 0x1f: \b \t \n \f \r by letter, the rest as \u00xx
    'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'b', 't', 'n', 'u', 'f',  'r', 'u', 'u',
    'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u',  'u', 'u', 'u',
    0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    0,   0,   0,  // 0x22 "
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '\\', 0,   0,   0,  // 0x5c backslash
};

std::size_t format_u64(char* buf, std::uint64_t n) {
    return static_cast<std::size_t>(std::to_chars(buf, buf + 20, n).ptr - buf);
}

std::size_t format_f64(char* buf, double d) {
    if (!std::isfinite(d)) {
        std::memcpy(buf, "null", 4);
        return 4;
    }
    char* out = buf;
    if (std::signbit(d)) {
        *out++ = '-';
        d = -d;
    }
    if (d == 0) {
        std::memcpy(out, "0.0", 3);
        return static_cast<std::size_t>(out + 3 - buf);
    }
    // Shortest round-trip digits in scientific form: D[.DDD]e(+|-)XX
    char sci[32];
    char* end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
    char digits[20];
    int ndigits = 0;
    const char* p = sci;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.') digits[ndigits++] = *p;
    }
    int exp = 0;
    std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exp);
    if (exp >= -5 && exp <= 15) {
        if (exp >= 0) {
            const int int_digits = exp + 1;
            for (int i = 0; i < int_digits; ++i) *out++ = i < ndigits ? digits[i] : '0';
            *out++ = '.';
            if (ndigits > int_digits) {
                for (int i = int_digits; i < ndigits; ++i) *out++ = digits[i];
            } else {
                *out++ = '0';
            }
        } else {
            *out++ = '0';
            *out++ = '.';
            for (int i = 0; i < -exp - 1; ++i) *out++ = '0';
            for (int i = 0; i < ndigits; ++i) *out++ = digits[i];
        }
    } else {
        *out++ = digits[0];
        if (ndigits > 1) {
            *out++ = '.';
            for (int i = 1; i < ndigits; ++i) *out++ = digits[i];
        }
        *out++ = 'e';
        *out++ = exp < 0 ? '-' : '+';
        out = std::to_chars(out, out + 8, exp < 0 ? -exp : exp).ptr;
    }
    return static_cast<std::size_t>(out - buf);
}

}  // namespace detail

namespace {
struct BufferSink {
    Buffer& out;
    bool append(std::string_view s) {
        out.append(s);
        return true;
    }
};
}  // namespace

void write_string(Buffer& out, std::string_view text) {
    BufferSink sink{out};
    detail::put_string(sink, text);
}

void write_u64(Buffer& out, std::uint64_t n) {
    char buf[20];
    out.append(buf, detail::format_u64(buf, n));
}

void write_i64(Buffer& out, std::int64_t n) {
    if (n < 0) {
        out.push_back('-');
        write_u64(out, ~static_cast<std::uint64_t>(n) + 1);
    } else {
        write_u64(out, static_cast<std::uint64_t>(n));
    }
}

void write_f64(Buffer& out, double d) {
    char buf[32];
    out.append(buf, detail::format_f64(buf, d));
}

void write_value(Buffer& out, const Value& value) {
    BufferSink sink{out};
    write_value_to(sink, value);
}

std::string ReadError::text() const {
    std::string s = message;
    s += " at line ";
    s += std::to_string(line);
    s += " column ";
    s += std::to_string(column);
    return s;
}

}  // namespace murlo::proto
