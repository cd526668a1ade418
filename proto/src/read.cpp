#include <charconv>
#include <cstring>
#include <limits>

#include "reader.hpp"

namespace murlo::proto {
namespace detail {
namespace {

// Validates UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        // ASCII fast path, 8 bytes at a time.
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ull) break;
            p += 8;
        }
        if (p == end) break;
        const unsigned char b = *p;
        if (b < 0x80) {
            ++p;
            continue;
        }
        int len;
        std::uint32_t cp;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (end - p < len) return false;
        for (int k = 1; k < len; ++k) {
            if ((p[k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[k] & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        p += len;
    }
    return true;
}

void put_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

int hex_val(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Stops at the first byte that ends a plain run of string bytes: a quote, a backslash or a
// control byte. Eight bytes at a time; `high` collects the bytes seen, to skip UTF-8 checks for ASCII.
std::size_t plain_run(const char* p, std::size_t i, std::size_t n, std::uint64_t& high) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        const std::uint64_t q = w ^ (ones * '"');
        const std::uint64_t b = w ^ (ones * '\\');
        const std::uint64_t t = ((q - ones) & ~q) | ((b - ones) & ~b) | ((w - ones * 0x20) & ~w);
        if (t & highs) break;
        high |= w;
        i += 8;
    }
    while (i < n) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        high |= c;
        ++i;
    }
    return i;
}

std::string describe_number(const Number& num) {
    std::string s;
    char buf[32];
    switch (num.kind) {
        case Number::u64:
            s = "integer `";
            s.append(buf, format_u64(buf, num.u));
            break;
        case Number::i64:
            s = "integer `-";
            s.append(buf, format_u64(buf, ~static_cast<std::uint64_t>(num.i) + 1));
            break;
        case Number::f64:
            s = "floating point `";
            s.append(buf, format_f64(buf, num.d));
            break;
    }
    s += '`';
    return s;
}

}  // namespace

bool Reader::fail_at(std::size_t p, std::string message) {
    std::uint64_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t k = 0; k < p; ++k) {
        if (in_[k] == '\n') {
            ++line;
            line_start = k + 1;
        }
    }
    error_.message = std::move(message);
    error_.line = line;
    error_.column = p - line_start;
    return false;
}

bool Reader::next_key(bool& first, bool& end, std::string_view& key, std::string& scratch) {
    char c;
    if (!peek(c)) return fail_peek("EOF while parsing an object");
    if (c == '}') {
        end = true;
        return true;
    }
    if (!first) {
        if (c != ',') return fail_peek("expected `,` or `}`");
        ++i_;
        if (!peek(c)) return fail_peek("EOF while parsing a value");
        if (c == '}') return fail_peek("trailing comma");
    }
    first = false;
    if (c != '"') return fail_peek("key must be a string");
    ++i_;
    return parse_str(key, scratch);
}

bool Reader::colon() {
    char c;
    if (!peek(c)) return fail_peek("EOF while parsing an object");
    if (c != ':') return fail_peek("expected `:`");
    ++i_;
    return true;
}

bool Reader::finish() {
    char c;
    if (peek(c)) return fail_peek("trailing characters");
    return true;
}

bool Reader::parse_ident(const char* rest) {
    for (; *rest; ++rest) {
        if (i_ >= n_) return fail_consumed("EOF while parsing a value");
        if (in_[i_++] != *rest) return fail_consumed("expected ident");
    }
    return true;
}

bool Reader::parse_number(Number& out, bool convert) {
    const std::size_t start = i_;
    const bool neg = in_[i_] == '-';
    if (neg) {
        ++i_;
        if (i_ >= n_) return fail_consumed("EOF while parsing a value");
        if (!is_digit(in_[i_])) {
            ++i_;
            return fail_consumed("invalid number");
        }
    }
    const std::size_t int_start = i_;
    if (in_[i_] == '0') {
        ++i_;
        if (i_ < n_ && is_digit(in_[i_])) return fail_peek("invalid number");
    } else {
        while (i_ < n_ && is_digit(in_[i_])) ++i_;
    }
    const std::size_t int_end = i_;
    bool is_float = false;
    if (i_ < n_ && in_[i_] == '.') {
        is_float = true;
        ++i_;
        if (i_ >= n_) return fail_peek("EOF while parsing a value");
        if (!is_digit(in_[i_])) return fail_peek("invalid number");
        while (i_ < n_ && is_digit(in_[i_])) ++i_;
    }
    if (i_ < n_ && (in_[i_] == 'e' || in_[i_] == 'E')) {
        is_float = true;
        ++i_;
        if (i_ < n_ && (in_[i_] == '+' || in_[i_] == '-')) ++i_;
        if (i_ >= n_) return fail_consumed("EOF while parsing a value");
        if (!is_digit(in_[i_++])) return fail_consumed("invalid number");
        while (i_ < n_ && is_digit(in_[i_])) ++i_;
    }
    if (!convert) return true;

    if (!is_float) {
        std::uint64_t mag = 0;
        bool fits = true;
        for (std::size_t k = int_start; k < int_end; ++k) {
            const std::uint64_t digit = static_cast<std::uint64_t>(in_[k] - '0');
            if (mag > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
                fits = false;
                break;
            }
            mag = mag * 10 + digit;
        }
        if (fits && !neg) {
            out.kind = Number::u64;
            out.u = mag;
            return true;
        }
        if (fits && neg && mag != 0 && mag <= (std::uint64_t{1} << 63)) {
            out.kind = Number::i64;
            out.i = static_cast<std::int64_t>(~mag + 1);
            return true;
        }
        // -0 and integers beyond both ranges read as doubles.
    }
    out.kind = Number::f64;
    const auto r = std::from_chars(in_ + start, in_ + i_, out.d);
    if (r.ec == std::errc::result_out_of_range) {
        // Tell overflow from underflow by the decimal exponent of the first significant digit.
        long long e10 = 0;
        std::size_t k = int_start;
        bool seen = false;
        long long pos = 0;  // digits before the point so far
        for (; k < i_ && in_[k] != 'e' && in_[k] != 'E'; ++k) {
            if (in_[k] == '.') continue;
            const bool before_point = k < int_end;
            if (!seen && in_[k] != '0') {
                seen = true;
                e10 = before_point ? (static_cast<long long>(int_end - k) - 1) : -(pos + 1);
            }
            if (!before_point && !seen) ++pos;
        }
        if (k < i_) {
            ++k;
            bool eneg = false;
            if (in_[k] == '+' || in_[k] == '-') eneg = in_[k++] == '-';
            long long ev = 0;
            for (; k < i_; ++k) ev = ev > 100000000000LL ? ev : ev * 10 + (in_[k] - '0');
            e10 += eneg ? -ev : ev;
        }
        if (e10 >= 0) return fail_consumed("number out of range");
        out.d = neg ? -0.0 : 0.0;
    }
    return true;
}

bool Reader::hex4(std::uint32_t& out) {
    if (i_ + 4 > n_) {
        i_ = n_;
        return fail_consumed("EOF while parsing a string");
    }
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
        const int h = hex_val(in_[i_++]);
        if (h < 0) return fail_consumed("invalid escape");
        v = (v << 4) | static_cast<std::uint32_t>(h);
    }
    out = v;
    return true;
}

bool Reader::parse_escape(std::string& scratch) {
    if (i_ >= n_) return fail_consumed("EOF while parsing a string");
    switch (in_[i_++]) {
        case '"':
            scratch.push_back('"');
            return true;
        case '\\':
            scratch.push_back('\\');
            return true;
        case '/':
            scratch.push_back('/');
            return true;
        case 'b':
            scratch.push_back('\b');
            return true;
        case 'f':
            scratch.push_back('\f');
            return true;
        case 'n':
            scratch.push_back('\n');
            return true;
        case 'r':
            scratch.push_back('\r');
            return true;
        case 't':
            scratch.push_back('\t');
            return true;
        case 'u':
            break;
        default:
            return fail_consumed("invalid escape");
    }
    std::uint32_t cp;
    if (!hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_consumed("lone leading surrogate in hex escape");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (i_ >= n_) return fail_consumed("EOF while parsing a string");
        if (in_[i_++] != '\\') return fail_consumed("unexpected end of hex escape");
        if (i_ >= n_) return fail_consumed("EOF while parsing a string");
        if (in_[i_++] != 'u') return fail_consumed("unexpected end of hex escape");
        std::uint32_t low;
        if (!hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) return fail_consumed("lone leading surrogate in hex escape");
        cp = (((cp - 0xD800) << 10) | (low - 0xDC00)) + 0x10000;
    }
    put_utf8(scratch, cp);
    return true;
}

bool Reader::parse_str(std::string_view& out, std::string& scratch) {
    std::size_t start = i_;
    bool copied = false;
    std::uint64_t high = 0;
    for (;;) {
        i_ = plain_run(in_, i_, n_, high);
        if (i_ >= n_) return fail_consumed("EOF while parsing a string");
        const char b = in_[i_];
        if (b == '"') {
            if (copied) {
                scratch.append(in_ + start, i_ - start);
                out = scratch;
            } else {
                out = std::string_view(in_ + start, i_ - start);
            }
            ++i_;
            // Escapes always decode to valid UTF-8, so only raw non-ASCII bytes need checking.
            if ((high & 0x8080808080808080ull) && !valid_utf8(out)) return fail_consumed("invalid unicode code point");
            return true;
        }
        if (b == '\\') {
            if (!copied) {
                scratch.clear();
                copied = true;
            }
            scratch.append(in_ + start, i_ - start);
            ++i_;
            if (!parse_escape(scratch)) return false;
            start = i_;
            continue;
        }
        ++i_;
        return fail_consumed("control character (\\u0000-\\u001F) found while parsing a string");
    }
}

bool Reader::skip_str() {
    std::uint64_t high = 0;
    for (;;) {
        i_ = plain_run(in_, i_, n_, high);
        if (i_ >= n_) return fail_consumed("EOF while parsing a string");
        const char b = in_[i_];
        if (b == '"') {
            ++i_;
            return true;
        }
        if (b == '\\') {
            ++i_;
            if (i_ >= n_) return fail_consumed("EOF while parsing a string");
            const char e = in_[i_++];
            if (e == 'u') {
                std::uint32_t ignored;
                if (!hex4(ignored)) return false;
            } else if (!std::strchr("\"\\/bfnrt", e) || e == 0) {
                return fail_consumed("invalid escape");
            }
            continue;
        }
        ++i_;
        return fail_consumed("control character (\\u0000-\\u001F) found while parsing a string");
    }
}

bool Reader::invalid_type(std::string_view expected) {
    char c;
    if (!peek(c)) return fail_peek("EOF while parsing a value");
    std::string desc;
    switch (c) {
        case 'n':
            ++i_;
            if (!parse_ident("ull")) return false;
            desc = "null";
            break;
        case 't':
            ++i_;
            if (!parse_ident("rue")) return false;
            desc = "boolean `true`";
            break;
        case 'f':
            ++i_;
            if (!parse_ident("alse")) return false;
            desc = "boolean `false`";
            break;
        case '"': {
            ++i_;
            std::string_view s;
            std::string scratch;
            if (!parse_str(s, scratch)) return false;
            desc = "string " + quoted(s);
            break;
        }
        case '[':
            desc = "sequence";
            break;
        case '{':
            desc = "map";
            break;
        default:
            if (c == '-' || is_digit(c)) {
                Number num;
                if (!parse_number(num, true)) return false;
                desc = describe_number(num);
                break;
            }
            return fail_peek("expected value");
    }
    std::string message = "invalid type: ";
    message += desc;
    message += ", expected ";
    message.append(expected);
    return fail_consumed(std::move(message));
}

bool Reader::read_u64(std::uint64_t& out, const char* expected) {
    char c;
    if (!peek(c)) return fail_peek("EOF while parsing a value");
    if (c != '-' && !is_digit(c)) return invalid_type(expected);
    Number num;
    if (!parse_number(num, true)) return false;
    if (num.kind == Number::u64) {
        out = num.u;
        return true;
    }
    std::string message = num.kind == Number::i64 ? "invalid value: " : "invalid type: ";
    message += describe_number(num);
    message += ", expected ";
    message += expected;
    return fail_consumed(std::move(message));
}

bool Reader::read_u32(std::uint32_t& out) {
    std::uint64_t v;
    if (!read_u64(v, "u32")) return false;
    if (v > std::numeric_limits<std::uint32_t>::max()) {
        Number num;
        num.u = v;
        return fail_consumed("invalid value: " + describe_number(num) + ", expected u32");
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool Reader::read_bool(bool& out) {
    char c;
    if (!peek(c)) return fail_peek("EOF while parsing a value");
    if (c == 't') {
        ++i_;
        out = true;
        return parse_ident("rue");
    }
    if (c == 'f') {
        ++i_;
        out = false;
        return parse_ident("alse");
    }
    return invalid_type("a boolean");
}

bool Reader::read_string(std::string& out) {
    char c;
    if (!peek(c)) return fail_peek("EOF while parsing a value");
    if (c != '"') return invalid_type("a string");
    ++i_;
    std::string_view s;
    std::string scratch;
    if (!parse_str(s, scratch)) return false;
    out.assign(s);
    return true;
}

bool Reader::read_opt_u64(std::optional<std::uint64_t>& out) {
    char c;
    if (peek(c) && c == 'n') {
        ++i_;
        out.reset();
        return parse_ident("ull");
    }
    std::uint64_t v;
    if (!read_u64(v)) return false;
    out = v;
    return true;
}

bool Reader::read_opt_string(std::optional<std::string>& out) {
    char c;
    if (peek(c) && c == 'n') {
        ++i_;
        out.reset();
        return parse_ident("ull");
    }
    std::string s;
    if (!read_string(s)) return false;
    out = std::move(s);
    return true;
}

bool Reader::read_string_list(std::vector<std::string>& out) {
    out.clear();
    return read_seq([&] {
        out.emplace_back();
        return read_string(out.back());
    });
}

bool Reader::read_u64_list(std::vector<std::uint64_t>& out) {
    out.clear();
    return read_seq([&] {
        out.emplace_back();
        return read_u64(out.back());
    });
}

bool Reader::read_value(Value& out) {
    char c;
    if (!peek(c)) return fail_peek("EOF while parsing a value");
    return read_value_at(out, c);
}

bool Reader::read_value_at(Value& out, char c) {
    switch (c) {
        case 'n':
            ++i_;
            out.v = nullptr;
            return parse_ident("ull");
        case 't':
            ++i_;
            out.v = true;
            return parse_ident("rue");
        case 'f':
            ++i_;
            out.v = false;
            return parse_ident("alse");
        case '"': {
            ++i_;
            std::string_view s;
            std::string scratch;
            if (!parse_str(s, scratch)) return false;
            if (s.data() == scratch.data()) {
                out.v = std::move(scratch);
            } else {
                out.v = std::string(s);
            }
            return true;
        }
        case '[': {
            Array items;
            if (!read_seq([&] {
                    items.emplace_back();
                    return read_value(items.back());
                }))
                return false;
            out.v = std::move(items);
            return true;
        }
        case '{': {
            Object entries;
            bool sorted = true;
            if (!read_map([&](std::string_view key) {
                    if (!entries.empty() && !(entries.back().first < key)) sorted = false;
                    entries.emplace_back(std::string(key), Value());
                    return read_value(entries.back().second);
                }))
                return false;
            if (sorted) {
                out.v = std::move(entries);
            } else {
                out = Value::object(std::move(entries));
            }
            return true;
        }
        default:
            if (c == '-' || is_digit(c)) {
                Number num;
                if (!parse_number(num, true)) return false;
                switch (num.kind) {
                    case Number::u64:
                        out.v = num.u;
                        break;
                    case Number::i64:
                        out.v = num.i;
                        break;
                    case Number::f64:
                        out.v = num.d;
                        break;
                }
                return true;
            }
            return fail_peek("expected value");
    }
}

bool Reader::skip_value() {
    // Iterative: a skipped value's nesting is not limited, so it must not use the stack.
    std::string frames;
    char c;
    for (;;) {
        if (!peek(c)) return fail_peek("EOF while parsing a value");
        switch (c) {
            case 'n':
                ++i_;
                if (!parse_ident("ull")) return false;
                break;
            case 't':
                ++i_;
                if (!parse_ident("rue")) return false;
                break;
            case 'f':
                ++i_;
                if (!parse_ident("alse")) return false;
                break;
            case '"':
                ++i_;
                if (!skip_str()) return false;
                break;
            case '[':
                ++i_;
                if (!peek(c)) return fail_peek("EOF while parsing a list");
                if (c == ']') {
                    ++i_;
                    break;
                }
                frames.push_back('[');
                continue;
            case '{':
                ++i_;
                if (!peek(c)) return fail_peek("EOF while parsing an object");
                if (c == '}') {
                    ++i_;
                    break;
                }
                if (c != '"') return fail_peek("key must be a string");
                ++i_;
                if (!skip_str()) return false;
                if (!peek(c)) return fail_peek("EOF while parsing an object");
                if (c != ':') return fail_peek("expected `:`");
                ++i_;
                frames.push_back('{');
                continue;
            default:
                if (c == '-' || is_digit(c)) {
                    Number ignored;
                    if (!parse_number(ignored, false)) return false;
                    break;
                }
                return fail_peek("expected value");
        }
        // A value ended: close frames until one expects another value.
        for (;;) {
            if (frames.empty()) return true;
            const char top = frames.back();
            if (!peek(c)) return fail_peek(top == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
            if (c == (top == '[' ? ']' : '}')) {
                ++i_;
                frames.pop_back();
                continue;
            }
            if (c != ',') return fail_peek(top == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
            ++i_;
            if (!peek(c)) return fail_peek("EOF while parsing a value");
            if (c == (top == '[' ? ']' : '}')) return fail_peek("trailing comma");
            if (top == '{') {
                if (c != '"') return fail_peek("key must be a string");
                ++i_;
                if (!skip_str()) return false;
                if (!peek(c)) return fail_peek("EOF while parsing an object");
                if (c != ':') return fail_peek("expected `:`");
                ++i_;
            }
            break;
        }
    }
}

}  // namespace detail

Result<Value> read_value(std::string_view input) {
    detail::Reader r(input);
    Value v;
    if (!r.read_value(v) || !r.finish()) return r.take_error();
    return v;
}

}  // namespace murlo::proto
