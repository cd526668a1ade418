// The JSON rules: what a Value reads as, how it is written, and every error text with its position.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "murlo/proto/json.hpp"
#include "roundtrip.hpp"

namespace murlo::proto {
namespace {

using testing::roundtrip;

struct Case {
    const char* input;
    const char* expected;  // "ok <written>" or "error <text>"
};

std::string value_of(std::string_view input) { return roundtrip("value", input); }

TEST(JsonValue, ReadsAndWritesCompactSortedForms) {
    const Case cases[] = {
        {R"({"b":1,"a":[true,null]})", R"(ok {"a":[true,null],"b":1})"},
        {" [ 1 , 2 ]\n", "ok [1,2]"},
        {"100", "ok 100"},
        {"1e2", "ok 100.0"},
        {"1.0", "ok 1.0"},
        {"1.00", "ok 1.0"},
        {"-0", "ok -0.0"},
        {"-0.0", "ok -0.0"},
        {"0", "ok 0"},
        {"1e16", "ok 1e+16"},
        {"1e15", "ok 1000000000000000.0"},
        {"0.000001", "ok 1e-6"},
        {"0.00001", "ok 0.00001"},
        {"1.5e-7", "ok 1.5e-7"},
        {"0.5", "ok 0.5"},
        {"123.456", "ok 123.456"},
        {"-2.5E+3", "ok -2500.0"},
        {"1.7976931348623157e308", "ok 1.7976931348623157e+308"},
        {"5e-324", "ok 5e-324"},
        {"1e-400", "ok 0.0"},
        {"-1e-400", "ok -0.0"},
        {"18446744073709551615", "ok 18446744073709551615"},
        {"18446744073709551616", "ok 1.8446744073709552e+19"},
        {"-9223372036854775808", "ok -9223372036854775808"},
        {"-9223372036854775809", "ok -9.223372036854776e+18"},
        {"-1", "ok -1"},
        {R"({"a":1,"a":2})", R"(ok {"a":2})"},
        {R"({"p\u006fol":1,"pool":2})", R"(ok {"pool":2})"},
        {R"("tab\t quote\" ctl\u001f slash\/ é \u00e9 \ud83d\ude00")",
         "ok \"tab\\t quote\\\" ctl\\u001f slash/ \xc3\xa9 \xc3\xa9 \xf0\x9f\x98\x80\""},
        {"\"\x7f\"", "ok \"\x7f\""},
        {R"("\b\f\n\r\\")", R"(ok "\b\f\n\r\\")"},
        {"{}", "ok {}"},
        {"\"abcdefghijklmn\\\"opqrstuvwxyz\xc3\xa9"
         "abcdefgh\"",
         "ok \"abcdefghijklmn\\\"opqrstuvwxyz\xc3\xa9"
         "abcdefgh\""},
        {"[]", "ok []"},
        {"[[],{}]", "ok [[],{}]"},
        {"  true  ", "ok true"},
    };
    for (const auto& c : cases) EXPECT_EQ(value_of(c.input), c.expected) << c.input;
}

TEST(JsonValue, NumberKinds) {
    auto kind = [](std::string_view s) { return read_value(s).value().v.index(); };
    EXPECT_EQ(kind("7"), 2u);
    EXPECT_EQ(kind("-7"), 3u);
    EXPECT_EQ(kind("-0"), 4u);
    EXPECT_EQ(kind("7.0"), 4u);
    EXPECT_EQ(kind("7e0"), 4u);
    EXPECT_EQ(kind("18446744073709551616"), 4u);
}

TEST(JsonValue, SyntaxErrorsAndPositions) {
    const Case cases[] = {
        {"", "error EOF while parsing a value at line 1 column 0"},
        {"   ", "error EOF while parsing a value at line 1 column 3"},
        {"x", "error expected value at line 1 column 1"},
        {"1 2", "error trailing characters at line 1 column 3"},
        {"[1,2]x", "error trailing characters at line 1 column 6"},
        {"[1", "error EOF while parsing a list at line 1 column 2"},
        {"[1,", "error EOF while parsing a value at line 1 column 3"},
        {"[1,]", "error trailing comma at line 1 column 4"},
        {"[1 2]", "error expected `,` or `]` at line 1 column 4"},
        {"[,1]", "error expected value at line 1 column 2"},
        {"{", "error EOF while parsing an object at line 1 column 1"},
        {R"({"a")", "error EOF while parsing an object at line 1 column 4"},
        {R"({"a" 1})", "error expected `:` at line 1 column 6"},
        {R"({"a":1,})", "error trailing comma at line 1 column 8"},
        {R"({"a":1 "b":2})", "error expected `,` or `}` at line 1 column 8"},
        {"{1:2}", "error key must be a string at line 1 column 2"},
        {R"({"a":})", "error expected value at line 1 column 6"},
        {R"({"a":)", "error EOF while parsing a value at line 1 column 5"},
        {"\"abc", "error EOF while parsing a string at line 1 column 4"},
        {"\"a\x01\"", "error control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\"a\\x\"", "error invalid escape at line 1 column 4"},
        {"\"\\u12g4\"", "error invalid escape at line 1 column 6"},
        {"\"\\u12", "error EOF while parsing a string at line 1 column 5"},
        {"\"\\udc00\"", "error lone leading surrogate in hex escape at line 1 column 7"},
        {"\"\\ud800x\"", "error unexpected end of hex escape at line 1 column 8"},
        {"\"\\ud800\\n\"", "error unexpected end of hex escape at line 1 column 9"},
        {"\"\\ud800\\u0041\"", "error lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\xff\"", "error invalid unicode code point at line 1 column 3"},
        {"\"\xed\xa0\x80\"", "error invalid unicode code point at line 1 column 5"},
        {"\"\xc0\xaf\"", "error invalid unicode code point at line 1 column 4"},
        {"\"abcdefghij\xff\"", "error invalid unicode code point at line 1 column 13"},
        {"\"abcdefghijklmnop\x01\"",
         "error control character (\\u0000-\\u001F) found while parsing a string at line 1 column 18"},
        {"\"abcdefghijklmno", "error EOF while parsing a string at line 1 column 16"},
        {"nul", "error EOF while parsing a value at line 1 column 3"},
        {"nulx", "error expected ident at line 1 column 4"},
        {"tru", "error EOF while parsing a value at line 1 column 3"},
        {"fals3", "error expected ident at line 1 column 5"},
        {"-", "error EOF while parsing a value at line 1 column 1"},
        {"-x", "error invalid number at line 1 column 2"},
        {"01", "error invalid number at line 1 column 2"},
        {"1.", "error EOF while parsing a value at line 1 column 2"},
        {"1.x", "error invalid number at line 1 column 3"},
        {"1e", "error EOF while parsing a value at line 1 column 2"},
        {"1e+", "error EOF while parsing a value at line 1 column 3"},
        {"1ex", "error invalid number at line 1 column 3"},
        {"1e999", "error number out of range at line 1 column 5"},
        {"[1e999]", "error number out of range at line 1 column 6"},
        {"-1e999", "error number out of range at line 1 column 6"},
        {"[\n1,\n  x]", "error expected value at line 3 column 3"},
        {"{\"a\":1}\n\n  x", "error trailing characters at line 3 column 3"},
        {"[1,\n", "error EOF while parsing a value at line 2 column 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(value_of(c.input), c.expected) << c.input;
}

TEST(JsonValue, NestingBudgetIs127Levels) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_EQ(value_of(nested(127)), "ok " + nested(127));
    EXPECT_EQ(value_of(nested(128)), "error recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(value_of(std::string(100000, '[')), "error recursion limit exceeded at line 1 column 128");
    std::string objects;
    for (int i = 0; i < 128; ++i) objects += "{\"a\":";
    EXPECT_EQ(value_of(objects), "error recursion limit exceeded at line 1 column 636");
}

TEST(JsonWrite, StringEscapesExactly) {
    Buffer out;
    write_string(out, "a\tb\"c\x1f/d\\e\x7f\xc3\xa9\x01\b\f\n\r");
    EXPECT_EQ(out, "\"a\\tb\\\"c\\u001f/d\\\\e\x7f\xc3\xa9\\u0001\\b\\f\\n\\r\"");
}

TEST(JsonWrite, DoublesAndIntegers) {
    struct D {
        double d;
        const char* text;
    };
    const D cases[] = {
        {1.0, "1.0"},
        {100.0, "100.0"},
        {0.5, "0.5"},
        {0.00001, "0.00001"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e+16"},
        {0.000001, "1e-6"},
        {1.5e-7, "1.5e-7"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {-1.25, "-1.25"},
        {1.5e300, "1.5e+300"},
        {123456789.125, "123456789.125"},
        {0.1, "0.1"},
        {1e100, "1e+100"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
        {INFINITY, "null"},
    };
    for (const auto& c : cases) {
        Buffer out;
        write_f64(out, c.d);
        EXPECT_EQ(out, c.text);
    }
    Buffer out;
    write_i64(out, std::numeric_limits<std::int64_t>::min());
    out += ' ';
    write_u64(out, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(out, "-9223372036854775808 18446744073709551615");
}

TEST(JsonValue, ObjectFromUnsortedEntriesKeepsLastOfRepeatedKeys) {
    Value v = Value::object({{"b", Value(std::uint64_t{1})}, {"a", Value(true)}, {"b", Value(std::uint64_t{2})}});
    Buffer out;
    write_value(out, v);
    EXPECT_EQ(out, R"({"a":true,"b":2})");
    ASSERT_NE(v.find("b"), nullptr);
    EXPECT_EQ(v.find("c"), nullptr);
}

TEST(JsonValue, ExactEqualKeepsNumberForms) {
    auto v = [](std::string_view s) { return read_value(s).value(); };
    EXPECT_TRUE(exact_equal(v(R"({"a":[1,"x",null]})"), v(R"({ "a" : [1, "x", null] })")));
    EXPECT_TRUE(exact_equal(v("1.0"), v("1.00")));
    EXPECT_FALSE(exact_equal(v("1"), v("1.0")));
    EXPECT_FALSE(exact_equal(v("-1"), v("-1.0")));
    EXPECT_FALSE(exact_equal(v("[1]"), v("[1,2]")));
    EXPECT_FALSE(exact_equal(v(R"({"a":1})"), v(R"({"b":1})")));
    EXPECT_FALSE(exact_equal(v("null"), v("false")));
    EXPECT_TRUE(exact_equal(v(R"({"b":1,"a":2})"), v(R"({"a":2,"b":1})")));
}

struct CountingSink {
    std::size_t count = 0;
    std::size_t limit;
    bool append(std::string_view s) {
        if (count + s.size() > limit) return false;
        count += s.size();
        return true;
    }
};

TEST(JsonWrite, SinkMayRefuseAChunk) {
    const Value v = read_value(R"({"key":["a\n",1.5,-3,null]})").value();
    Buffer text;
    write_value(text, v);
    CountingSink exact{0, text.size()};
    EXPECT_TRUE(write_value_to(exact, v));
    EXPECT_EQ(exact.count, text.size());
    CountingSink short_by_one{0, text.size() - 1};
    EXPECT_FALSE(write_value_to(short_by_one, v));
}

}  // namespace
}  // namespace murlo::proto
