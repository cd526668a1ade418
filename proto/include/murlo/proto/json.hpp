#pragma once
// The JSON rules shared by every record: compact writing, reading with exact
// error texts and positions ("{} at line {} column {}"), and quoting of names.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "murlo/proto/value.hpp"

namespace murlo::proto {

struct ReadError {
    std::string message;
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    // "{message} at line {line} column {column}"
    std::string text() const;
};

// A read value or the one error that stopped reading.
template <class T>
class Result {
public:
    Result(T value) : r_(std::move(value)) {}
    Result(ReadError error) : r_(std::move(error)) {}
    bool ok() const { return r_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(r_); }
    const T& value() const& { return std::get<0>(r_); }
    T&& value() && { return std::get<0>(std::move(r_)); }
    const ReadError& error() const { return std::get<1>(r_); }

private:
    std::variant<T, ReadError> r_;
};

// One whole JSON document (then only white space) as a Value; nesting limit 128.
Result<Value> read_value(std::string_view input);

// Writers: compact, append only, cannot fail.
void write_string(Buffer& out, std::string_view text);
void write_u64(Buffer& out, std::uint64_t n);
void write_i64(Buffer& out, std::int64_t n);
void write_f64(Buffer& out, double d);  // shortest round-trip digits, 1.0 / 1e+16 / 1e-6 forms
void write_value(Buffer& out, const Value& value);

// A sink that may refuse a chunk (returns false), for measuring without building text.
// `write_value_to` stops at the first refusal and returns false.
template <class Sink>
bool write_value_to(Sink& sink, const Value& value);

// The quoted form of a name inside a message: double quotes around the text,
// \" \\ \t \r \n \0 escaped, other non-printable characters and combining marks
// as \u{hex}. Also the string part of "invalid type" value descriptions.
std::string quoted(std::string_view text);

}  // namespace murlo::proto

#include "murlo/proto/detail/write_value.hpp"
