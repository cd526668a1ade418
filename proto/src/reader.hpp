#pragma once
// The reader shared by every record: one pass over a byte slice, errors as
// values with the position rules of the protocol. Internal to murlo_proto.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "murlo/proto/json.hpp"
#include "murlo/proto/value.hpp"

namespace murlo::proto::detail {

// A number token as read: its kind and value.
struct Number {
    enum Kind { u64, i64, f64 } kind = u64;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double d = 0;
};

class Reader {
public:
    explicit Reader(std::string_view input) : in_(input.data()), n_(input.size()) {}

    // The error that stopped reading (valid after a reader returned false).
    ReadError take_error() { return std::move(error_); }

    // White space, then true when a byte follows (left in `c`).
    bool peek(char& c) {
        while (i_ < n_) {
            const char b = in_[i_];
            if (b != ' ' && b != '\n' && b != '\t' && b != '\r') {
                c = b;
                return true;
            }
            ++i_;
        }
        return false;
    }
    void bump() { ++i_; }
    // After the document: only white space may follow.
    bool finish();

    // Syntax errors name the byte being looked at (offset + 1, at most the length).
    bool fail_peek(std::string_view message) { return fail_at(i_ + 1 < n_ ? i_ + 1 : n_, std::string(message)); }
    // Errors placed after what has been consumed.
    bool fail_consumed(std::string message) { return fail_at(i_, std::move(message)); }

    // Opening an array or object: the nesting budget.
    bool enter() {
        if (--depth_ == 0) return fail_peek("recursion limit exceeded");
        return true;
    }
    void leave() { ++depth_; }

    // Field readers: white space first, then the value of that type.
    bool read_u64(std::uint64_t& out, const char* expected = "u64");
    bool read_u32(std::uint32_t& out);
    bool read_bool(bool& out);
    bool read_string(std::string& out);
    bool read_opt_u64(std::optional<std::uint64_t>& out);
    bool read_opt_string(std::optional<std::string>& out);
    bool read_string_list(std::vector<std::string>& out);
    bool read_u64_list(std::vector<std::uint64_t>& out);
    bool read_value(Value& out);
    // Skips one well-formed value; no range, UTF-8 or nesting checks.
    bool skip_value();

    // A value that does not fit `expected`: describe it and fail with "invalid type".
    bool invalid_type(std::string_view expected);

    // "[" ... "]" with per-element reader `elem` (bool()). Not an array: invalid type "a sequence".
    template <class F>
    bool read_seq(F&& elem);
    // "{" ... "}" with `entry(std::string_view key)` reading the value. Not an object: "a map".
    template <class F>
    bool read_map(F&& entry);

    // A record, object or array form. `field(idx)` reads the value of field idx.
    struct RecordShape {
        std::string_view expected;     // "struct Beat"
        std::string_view length_text;  // "struct Beat with 16 elements"
        const std::string_view* keys;
        std::size_t nkeys;
        std::uint32_t required;  // bit per field
    };
    template <class F>
    bool read_record(const RecordShape& shape, F&& field);

    // After the opening quote: the decoded text (a view into the input or into scratch).
    bool parse_str(std::string_view& out, std::string& scratch);

private:
    // Inside an object: white space, then the closing brace (`end`, left unconsumed) or the
    // next key, read through its closing quote.
    bool next_key(bool& first, bool& end, std::string_view& key, std::string& scratch);
    // The colon after a key.
    bool colon();
    bool fail_at(std::size_t p, std::string message);
    bool parse_ident(const char* rest);
    bool parse_number(Number& out, bool convert);
    bool skip_str();
    bool parse_escape(std::string& scratch);
    bool hex4(std::uint32_t& out);
    bool read_value_at(Value& out, char c);
    // After a record reader stops: consume white space and the closing bracket if it is next.
    void close_record(char bracket) {
        char c;
        if (peek(c) && c == bracket) ++i_;
    }
    bool custom_error(std::string message, char bracket) {
        close_record(bracket);
        return fail_consumed(std::move(message));
    }

    const char* in_;
    std::size_t n_;
    std::size_t i_ = 0;
    int depth_ = 128;
    ReadError error_;
    std::string key_scratch_;
};

template <class F>
bool Reader::read_seq(F&& elem) {
    char c;
    if (!peek(c)) return fail_peek("EOF while parsing a value");
    if (c != '[') return invalid_type("a sequence");
    if (!enter()) return false;
    ++i_;
    bool first = true;
    for (;;) {
        if (!peek(c)) return fail_peek("EOF while parsing a list");
        if (c == ']') break;
        if (!first) {
            if (c != ',') return fail_peek("expected `,` or `]`");
            ++i_;
            if (!peek(c)) return fail_peek("EOF while parsing a value");
            if (c == ']') return fail_peek("trailing comma");
        }
        first = false;
        if (!elem()) return false;
    }
    ++i_;
    leave();
    return true;
}

template <class F>
bool Reader::read_map(F&& entry) {
    char c;
    if (!peek(c)) return fail_peek("EOF while parsing a value");
    if (c != '{') return invalid_type("a map");
    if (!enter()) return false;
    ++i_;
    bool first = true;
    bool end = false;
    std::string scratch;
    for (;;) {
        std::string_view key;
        if (!next_key(first, end, key, scratch)) return false;
        if (end) break;
        if (!colon() || !entry(key)) return false;
    }
    ++i_;
    leave();
    return true;
}

template <class F>
bool Reader::read_record(const RecordShape& shape, F&& field) {
    char c;
    if (!peek(c)) return fail_peek("EOF while parsing a value");
    if (c == '{') {
        if (!enter()) return false;
        ++i_;
        std::uint32_t given = 0;
        bool first = true;
        bool end = false;
        for (;;) {
            std::string_view key;
            if (!next_key(first, end, key, key_scratch_)) return false;
            if (end) break;
            std::size_t idx = 0;
            while (idx < shape.nkeys && shape.keys[idx] != key) ++idx;
            if (idx < shape.nkeys && (given & (1u << idx))) {
                std::string message = "duplicate field `";
                message.append(key);
                message += '`';
                return custom_error(std::move(message), '}');
            }
            if (!colon()) return false;
            if (idx < shape.nkeys) {
                given |= 1u << idx;
                if (!field(idx)) return false;
            } else if (!skip_value()) {
                return false;
            }
        }
        ++i_;
        leave();
        const std::uint32_t missing = shape.required & ~given;
        if (missing != 0) {
            std::size_t idx = 0;
            while (!(missing & (1u << idx))) ++idx;
            std::string message = "missing field `";
            message.append(shape.keys[idx]);
            message += '`';
            return fail_consumed(std::move(message));
        }
        return true;
    }
    if (c == '[') {
        if (!enter()) return false;
        ++i_;
        for (std::size_t idx = 0; idx < shape.nkeys; ++idx) {
            if (!peek(c)) return fail_peek("EOF while parsing a list");
            if (c == ']') {
                // The array ended: later fields take their defaults up to the first required one.
                for (std::size_t rest = idx; rest < shape.nkeys; ++rest) {
                    if (shape.required & (1u << rest)) {
                        std::string message = "invalid length " + std::to_string(rest) + ", expected ";
                        message.append(shape.length_text);
                        return custom_error(std::move(message), ']');
                    }
                }
                ++i_;
                leave();
                return true;
            }
            if (idx > 0) {
                if (c != ',') return fail_peek("expected `,` or `]`");
                ++i_;
                if (!peek(c)) return fail_peek("EOF while parsing a value");
                if (c == ']') return fail_peek("trailing comma");
            }
            if (!field(idx)) return false;
        }
        if (!peek(c)) return fail_peek("EOF while parsing a list");
        if (c == ']') {
            ++i_;
            leave();
            return true;
        }
        if (c == ',') {
            ++i_;
            if (peek(c) && c == ']') return fail_peek("trailing comma");
        }
        return fail_peek("trailing characters");
    }
    return invalid_type(shape.expected);
}

}  // namespace murlo::proto::detail
