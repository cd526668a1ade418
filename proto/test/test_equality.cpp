// Equality by meaning, member filters and the roster hash with its fingerprint.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "murlo/proto/json.hpp"
#include "murlo/proto/records.hpp"
#include "murlo/proto/value.hpp"

namespace murlo::proto {
namespace {

Value parse(std::string_view text) {
    auto r = read_value(text);
    EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().text());
    return r.ok() ? std::move(r).value() : Value();
}

struct Pair {
    const char* a;
    const char* b;
    bool equal;
};

TEST(SameValue, ComparesByMeaningInBothOrders) {
    const Pair cases[] = {
        {"1", "1.0", true},
        {"1", "1.5", false},
        {"-1", "-1.0", true},
        {"-1", "1", false},
        {"-1", "1.0", false},
        {"1", "-1.0", false},
        {"0", "-0", true},
        {"0", "0.0", true},
        {"0.0", "-0.0", true},
        {"0", "-0.0", true},
        {"100", "1e2", true},
        {"2.5", "2.5", true},
        {"2.5", "2.25", false},
        {"[1,2]", "[1.0,2]", true},
        {"[1,2]", "[2,1]", false},
        {"[1,2]", "[1,2,3]", false},
        {"[]", "[]", true},
        {"{}", "{}", true},
        {"[]", "{}", false},
        {R"({"a":1})", R"({"a":1.0})", true},
        {R"({"a":1})", R"({"a":1,"b":2})", false},
        {R"({"a":1})", R"({"b":1})", false},
        {R"({"a":{"b":1}})", R"({"a":{"b":1,"c":2}})", false},
        {R"({"a":[{"b":-3}],"c":null})", R"({"c":null,"a":[{"b":-3.0}]})", true},
        {R"("1")", "1", false},
        {R"("a")", R"("a")", true},
        {R"("a")", R"("A")", false},
        {"null", "null", true},
        {"null", "false", false},
        {"null", "0", false},
        {"true", "true", true},
        {"true", "false", false},
        {"true", "1", false},
        {"false", "0", false},
        {R"("")", "null", false},
        {"[null]", "[]", false},
        // Exact at and beyond the reach of doubles.
        {"9223372036854775808", "9223372036854775808.0", true},
        {"9223372036854775807", "9223372036854775808.0", false},
        {"-9223372036854775808", "-9223372036854775808.0", true},
        {"-9223372036854775807", "-9223372036854775808.0", false},
        {"10000000000000000000", "1e19", true},
        {"18446744073709551615", "18446744073709551616.0", false},
        {"18446744073709551615", "18446744073709551615", true},
        {"9007199254740993", "9007199254740992.0", false},
        {"9007199254740992", "9007199254740992.0", true},
        {"-9007199254740993", "-9007199254740992.0", false},
        // Doubles beyond both integer ranges equal no integer.
        {"-9223372036854775808", "-9223372036854777856.0", false},
        {"0", "1e300", false},
        {"18446744073709551615", "1e300", false},
        {"-9223372036854775808", "-1e300", false},
        {"1e300", "1e300", true},
        {"18446744073709551616", "18446744073709551616.0", true},  // both read as doubles
    };
    for (const Pair& c : cases) {
        const Value a = parse(c.a);
        const Value b = parse(c.b);
        EXPECT_EQ(same_value(a, b), c.equal) << c.a << " vs " << c.b;
        EXPECT_EQ(same_value(b, a), c.equal) << c.b << " vs " << c.a;
    }
}

TEST(SameValue, IntegersCompareByValueWhateverTheirKind) {
    // Readers never make a non-negative i64, but a Value built in code may hold one.
    EXPECT_TRUE(same_value(Value(std::int64_t{5}), Value(std::uint64_t{5})));
    EXPECT_TRUE(same_value(Value(std::int64_t{0}), Value(std::uint64_t{0})));
    EXPECT_TRUE(same_value(Value(std::int64_t{0}), Value(-0.0)));
    EXPECT_TRUE(same_value(Value(std::int64_t{7}), Value(7.0)));
    EXPECT_FALSE(same_value(Value(std::int64_t{-5}), Value(std::uint64_t{5})));
    EXPECT_FALSE(same_value(Value(std::int64_t{-1}), Value(std::uint64_t{UINT64_MAX})));
}

TEST(SameValue, IsNotExactEquality) {
    // A state change from 1 to 1.0 is a change, yet a filter of 1 still matches it.
    EXPECT_FALSE(exact_equal(parse("1"), parse("1.0")));
    EXPECT_TRUE(same_value(parse("1"), parse("1.0")));
}

Member with_state(const char* state) {
    Member m;
    m.id = 7;
    m.incarnation = 3;
    m.ready = false;
    m.state = parse(state);
    return m;
}

TEST(MemberMatches, TopLevelSubsetWithWholeValuesBelow) {
    struct Case {
        const char* filter;
        const char* state;
        bool matches;
    };
    const Case cases[] = {
        // Only a non-empty object restricts.
        {"null", R"({"a":1})", true},
        {"null", "null", true},
        {"5", "null", true},
        {R"("x")", "null", true},
        {"[]", "null", true},
        {R"(["a"])", R"({"b":1})", true},
        {"{}", "null", true},
        {"{}", R"({"a":1})", true},
        {"true", "7", true},
        {R"({"a":"x"})", R"({"a":"x","b":3})", true},
        {R"({"a":"x"})", R"({"b":3})", false},
        {R"({"a":"x"})", R"({"a":"y"})", false},
        {R"({"a":"x"})", "null", false},
        {R"({"a":"x"})", R"(["a"])", false},
        {R"({"a":"x"})", R"("a")", false},
        {R"({"a":1})", R"({"a":1.0})", true},
        {R"({"a":["x"]})", R"({"a":["x","y"]})", false},
        {R"({"a":{"b":1}})", R"({"a":{"b":1,"c":2}})", false},
        {R"({"a":{"b":1}})", R"({"a":{"b":1.0}})", true},
        {R"({"a":1,"b":2})", R"({"a":1,"b":2,"c":3})", true},
        {R"({"a":1,"b":2})", R"({"a":1,"c":2})", false},
        {R"({"a":1,"b":2})", R"({"a":2,"b":2})", false},
        {R"({"a":null})", R"({"a":null})", true},
        {R"({"a":null})", "{}", false},  // a null entry is not a missing one
        {R"({"ready":true})", R"({"ready":false})", false},
        {R"({"id":7})", "{}", false},  // filter keys name state entries only
    };
    for (const Case& c : cases) {
        EXPECT_EQ(with_state(c.state).matches(parse(c.filter)), c.matches)
            << "filter " << c.filter << " state " << c.state;
    }
}

TEST(MemberMatches, LooksOnlyAtTheState) {
    Member m = with_state(R"({"ready":true})");
    m.ready = false;
    m.url = "http://h";
    EXPECT_TRUE(m.matches(parse(R"({"ready":true})")));
    EXPECT_FALSE(m.matches(parse(R"({"url":"http://h"})")));
}

TEST(RosterHash, KnownValues) {
    struct Case {
        std::uint64_t id;
        std::uint64_t incarnation;
        std::uint64_t hash;
    };
    const Case cases[] = {
        {0, 0, 11753875096244137027ull}, {0, 0, 0xA31E272015F12C43ull},  {1, 1, 8294179575111048739ull},
        {1, 1, 0x731AD8610DCB5E23ull},   {7, 3, 5696088171538031335ull}, {7, 3, 0x4F0C920349D422E7ull},
        {1, 0, 6061864168143459330ull},  {0, 1, 9521559689276547618ull},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Member::roster_hash(c.id, c.incarnation), c.hash) << c.id << "/" << c.incarnation;
        Member m = with_state(R"({"a":1})");
        m.id = c.id;
        m.incarnation = c.incarnation;
        EXPECT_EQ(m.roster_hash(), c.hash);
    }
}

TEST(RosterHash, ReadsOnlyIdAndIncarnation) {
    Member a = with_state("null");
    Member b = with_state(R"({"x":[1,2]})");
    b.slot = 4;
    b.url = "u";
    b.ready = true;
    EXPECT_EQ(a.roster_hash(), b.roster_hash());
}

TEST(RosterHash, HighBytesOfBothFieldsCount) {
    // Every one of the 16 bytes feeds the hash, in order.
    const std::uint64_t base = Member::roster_hash(0, 0);
    for (int shift = 0; shift < 64; shift += 8) {
        EXPECT_NE(Member::roster_hash(std::uint64_t{1} << shift, 0), base) << shift;
        EXPECT_NE(Member::roster_hash(0, std::uint64_t{1} << shift), base) << shift;
        EXPECT_NE(Member::roster_hash(std::uint64_t{1} << shift, 0), Member::roster_hash(0, std::uint64_t{1} << shift));
    }
}

// The fingerprint of a roster: XOR over its members.
std::uint64_t fingerprint(std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> members) {
    std::uint64_t f = 0;
    for (const auto& [id, inc] : members) f ^= Member::roster_hash(id, inc);
    return f;
}

TEST(RosterFingerprint, KnownValuesAndIncrementalUpdates) {
    EXPECT_EQ(fingerprint({}), 0u);
    EXPECT_EQ(fingerprint({{7, 3}}), 5696088171538031335ull);
    EXPECT_EQ(fingerprint({{7, 3}, {8, 1}}), 12905236620755502797ull);
    EXPECT_EQ(fingerprint({{8, 1}, {7, 3}}), 0xB3189C54EA7E86CDull);

    // Join then leave restores the earlier value; a new incarnation changes it.
    std::uint64_t f = fingerprint({{7, 3}});
    f ^= Member::roster_hash(9, 2);
    EXPECT_NE(f, fingerprint({{7, 3}}));
    f ^= Member::roster_hash(9, 2);
    EXPECT_EQ(f, fingerprint({{7, 3}}));
    EXPECT_NE(fingerprint({{7, 4}}), fingerprint({{7, 3}}));
}

}  // namespace
}  // namespace murlo::proto
