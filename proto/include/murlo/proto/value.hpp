#pragma once
// The untyped JSON value: null, bool, three number kinds, string, array, and an
// object whose entries stay sorted by key (bytewise) and unique.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace murlo::proto {

// A growing byte buffer: every writer appends to one.
using Buffer = std::string;

struct Value;
using Array = std::vector<Value>;
// Sorted ascending by key (bytewise), one entry per key.
using Object = std::vector<std::pair<std::string, Value>>;

struct Value {
    // Non-negative integers are always u64, negative ones i64; everything with a
    // fraction or exponent, -0, and integers outside both ranges are doubles.
    using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object>;
    Storage v = nullptr;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v(b) {}
    Value(std::uint64_t n) : v(n) {}
    Value(std::int64_t n) : v(n) {}
    Value(double d) : v(d) {}
    Value(std::string s) : v(std::move(s)) {}
    Value(const char* s) : v(std::string(s)) {}
    Value(Array a) : v(std::move(a)) {}
    // Takes entries in any order; sorts them and keeps the last of repeated keys.
    static Value object(Object entries);

    bool is_null() const { return std::holds_alternative<std::nullptr_t>(v); }
    bool is_object() const { return std::holds_alternative<Object>(v); }
    const Object* as_object() const { return std::get_if<Object>(&v); }
    const Array* as_array() const { return std::get_if<Array>(&v); }
    const std::string* as_string() const { return std::get_if<std::string>(&v); }
    // Entry of an object by key (binary search); null when absent or not an object.
    const Value* find(std::string_view key) const;
};

// Levels of arrays and objects in `value` (0 for a scalar), counted no further
// than `limit` + 1: enough to tell whether it nests deeper than `limit`.
std::size_t nesting_depth(const Value& value, std::size_t limit);

// Exact structural equality: same kinds, same number form (1 != 1.0), same bytes.
// What decides whether a published state changed. Not `same_value`.
bool exact_equal(const Value& a, const Value& b);
inline bool operator==(const Value& a, const Value& b) { return exact_equal(a, b); }

// Equality by meaning: numbers compare by value across integer and float forms
// (exact above 2^53; integers are never converted to doubles). What filters use.
bool same_value(const Value& a, const Value& b);

}  // namespace murlo::proto
