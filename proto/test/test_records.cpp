// The four records: written forms, readers in object and array form, defaults, and their errors.

#include <gtest/gtest.h>

#include <string>

#include "murlo/proto/records.hpp"
#include "roundtrip.hpp"

namespace murlo::proto {
namespace {

using testing::roundtrip;

struct Case {
    const char* kind;
    std::string input;
    std::string expected;  // "ok <written>" or "error <text>"
};

constexpr const char* beat_defaults_tail =
    R"("url":null,"state":null,"ready":false,"leaving":false,"exclusive":false,"methods":[],"watch":[],"seen":{},"hold_ms":0})";

TEST(Records, WrittenForms) {
    Beat b;
    b.pool = "p";
    b.id = 7;
    b.incarnation = 3;
    b.publication = 1;
    b.policy = "x";
    b.state = Value::object({});
    Buffer out;
    b.serialize(out);
    EXPECT_EQ(
        out,
        R"({"pool":"p","slot":null,"id":7,"incarnation":3,"publication":1,"policy":"x","size":null,"url":null,"state":{},"ready":false,"leaving":false,"exclusive":false,"methods":[],"watch":[],"seen":{},"hold_ms":0})");

    b.publication.reset();
    b.slot = 2;
    b.size = 4;
    b.url = "u";
    b.methods = {"m1", "m2"};
    b.watch = {"a"};
    b.seen = {{"a", 9}};
    b.ready = b.leaving = b.exclusive = true;
    b.hold_ms = 250;
    out.clear();
    b.serialize(out);
    EXPECT_EQ(
        out,
        R"({"pool":"p","slot":2,"id":7,"incarnation":3,"policy":"x","size":4,"url":"u","state":{},"ready":true,"leaving":true,"exclusive":true,"methods":["m1","m2"],"watch":["a"],"seen":{"a":9},"hold_ms":250})");

    Member m;
    m.id = 7;
    m.incarnation = 3;
    EXPECT_EQ(write_member(m), R"({"id":7,"incarnation":3,"state":null,"ready":false})");
    EXPECT_GE(write_member(m).capacity(), 128u);
    m.slot = 0;
    m.url = "u";
    m.state = read_value(R"({"a":1})").value();
    m.ready = true;
    EXPECT_EQ(write_member(m), R"({"id":7,"slot":0,"incarnation":3,"url":"u","state":{"a":1},"ready":true})");

    Member other = m;
    other.id = 8;
    other.slot.reset();
    const Member* list[] = {&m, &other};
    out.clear();
    write_members(out, list);
    EXPECT_EQ(
        out,
        R"([{"id":7,"slot":0,"incarnation":3,"url":"u","state":{"a":1},"ready":true},{"id":8,"incarnation":3,"url":"u","state":{"a":1},"ready":true}])");
    out.clear();
    write_members(out, {});
    EXPECT_EQ(out, "[]");
}

TEST(Records, AckWrittenFromSharedDeltas) {
    BeatAck a;
    a.epoch = 1765238400000000001ull;
    a.protocol = 2;
    a.version = "0.17.0";
    a.ttl_ms = 10000;
    a.accepted = true;
    PoolDelta d;
    d.version = 3;
    d.roster = 5696088171538031335ull;
    d.policy = "x";
    d.full = true;
    Member m;
    m.id = 7;
    m.incarnation = 3;
    m.slot = 0;
    m.state = Value::object({});
    m.ready = true;
    d.changed.push_back(m);
    a.pools["p"] = d;
    const std::string accepted =
        R"({"epoch":1765238400000000001,"protocol":2,"version":"0.17.0","ttl_ms":10000,"accepted":true,"pools":{"p":{"version":3,"roster":5696088171538031335,"policy":"x","methods":[],"size":null,"changed":[{"id":7,"slot":0,"incarnation":3,"state":{},"ready":true}],"removed":[],"full":true}}})";
    EXPECT_EQ(testing::write_ack(a), accepted);

    // The accepted example reads back field by field.
    auto read = read_beat_ack(accepted);
    ASSERT_TRUE(read.ok()) << read.error().text();
    const BeatAck& r = read.value();
    EXPECT_EQ(r.epoch, 1765238400000000001ull);
    EXPECT_EQ(r.protocol, 2u);
    EXPECT_EQ(r.version, "0.17.0");
    EXPECT_EQ(r.ttl_ms, 10000u);
    EXPECT_TRUE(r.accepted);
    EXPECT_FALSE(r.refused.has_value());
    ASSERT_EQ(r.pools.size(), 1u);
    const PoolDelta& rd = r.pools.at("p");
    EXPECT_TRUE(rd.full);
    ASSERT_EQ(rd.changed.size(), 1u);
    EXPECT_EQ(rd.changed[0].slot, std::optional<std::uint64_t>(0));
    EXPECT_EQ(testing::write_ack(r), accepted);

    BeatAck refusal;
    refusal.epoch = 1765238400000000001ull;
    refusal.protocol = 2;
    refusal.version = "0.17.0";
    refusal.ttl_ms = 10000;
    EXPECT_EQ(
        testing::write_ack(refusal),
        R"({"epoch":1765238400000000001,"protocol":2,"version":"0.17.0","ttl_ms":10000,"accepted":false,"pools":{}})");
    refusal.refused = "no";
    EXPECT_EQ(
        testing::write_ack(refusal),
        R"({"epoch":1765238400000000001,"protocol":2,"version":"0.17.0","ttl_ms":10000,"accepted":false,"refused":"no","pools":{}})");
    refusal.version.clear();
    refusal.refused = "";
    EXPECT_EQ(testing::write_ack(refusal),
              R"({"epoch":1765238400000000001,"protocol":2,"ttl_ms":10000,"accepted":false,"refused":"","pools":{}})");
}

TEST(Records, ReadersTable) {
    const std::string beat_min = R"({"pool":"p","id":7,"incarnation":3,"policy":"x"})";
    const std::string beat_min_out = R"(ok {"pool":"p","slot":null,"id":7,"incarnation":3,"policy":"x","size":null,)" +
                                     std::string(beat_defaults_tail);
    const std::string sixteen = R"(["p",null,7,3,null,"x",null,null,null,false,false,false,[],[],{},0)";
    const Case cases[] = {
        // Beat, object form
        {"beat", beat_min, beat_min_out},
        {"beat", "{}", "error missing field `pool` at line 1 column 2"},
        {"beat", R"({"pool":"p","id":1})", "error missing field `incarnation` at line 1 column 19"},
        {"beat", R"({"pool":"a","pool":"b"})", "error duplicate field `pool` at line 1 column 18"},
        {"beat", R"({"pool":"a",  "pool"  :"b"})", "error duplicate field `pool` at line 1 column 22"},
        {"beat", R"({"slot":null,"slot":1})", "error duplicate field `slot` at line 1 column 19"},
        {"beat", R"({"p\u006fol":"a","pool":"b"})", "error duplicate field `pool` at line 1 column 23"},
        {"beat", R"({"pool":1})", "error invalid type: integer `1`, expected a string at line 1 column 9"},
        {"beat", R"({"pool":null})", "error invalid type: null, expected a string at line 1 column 12"},
        {"beat", R"({"id":null})", "error invalid type: null, expected u64 at line 1 column 10"},
        {"beat", R"({"id":-1})", "error invalid value: integer `-1`, expected u64 at line 1 column 8"},
        {"beat", R"({"id":1.0})", "error invalid type: floating point `1.0`, expected u64 at line 1 column 9"},
        {"beat", R"({"id":-0})", "error invalid type: floating point `-0.0`, expected u64 at line 1 column 8"},
        {"beat", R"({"id":1e2})", "error invalid type: floating point `100.0`, expected u64 at line 1 column 9"},
        {"beat", R"({"id":18446744073709551616})",
         "error invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 26"},
        {"beat", R"({"id":"7"})", "error invalid type: string \"7\", expected u64 at line 1 column 9"},
        {"beat", R"({"id":"a\"b\tc"})", "error invalid type: string \"a\\\"b\\tc\", expected u64 at line 1 column 15"},
        {"beat", R"({"id":true})", "error invalid type: boolean `true`, expected u64 at line 1 column 10"},
        {"beat", R"({"id":[1]})", "error invalid type: sequence, expected u64 at line 1 column 6"},
        {"beat", R"({"id":{}})", "error invalid type: map, expected u64 at line 1 column 6"},
        {"beat", R"({"id":nul})", "error expected ident at line 1 column 10"},
        {"beat", R"({"ready":null})", "error invalid type: null, expected a boolean at line 1 column 13"},
        {"beat", R"({"watch":null})", "error invalid type: null, expected a sequence at line 1 column 13"},
        {"beat", R"({"watch":[1]})", "error invalid type: integer `1`, expected a string at line 1 column 11"},
        {"beat", R"({"seen":null})", "error invalid type: null, expected a map at line 1 column 12"},
        {"beat", R"({"seen":[]})", "error invalid type: sequence, expected a map at line 1 column 8"},
        {"beat", R"({"seen":{"a":1,"a":2},"pool":"p","id":7,"incarnation":3,"policy":"x"})",
         R"(ok {"pool":"p","slot":null,"id":7,"incarnation":3,"policy":"x","size":null,"url":null,"state":null,"ready":false,"leaving":false,"exclusive":false,"methods":[],"watch":[],"seen":{"a":2},"hold_ms":0})"},
        {"beat", R"({"slot":null,"url":null,"state":null,"pool":"p","id":7,"incarnation":3,"policy":"x"})",
         beat_min_out},
        {"beat",
         R"({"zz":{"a":[1,2]},"pool":"p","zz":1e999,"id":7,"zz":"\ud800","incarnation":3,"policy":"x","zz":-0})",
         beat_min_out},
        {"beat", R"({"zz":"\uzzzz"})", "error invalid escape at line 1 column 10"},
        {"beat", R"({"zz":[1,2})", "error expected `,` or `]` at line 1 column 11"},
        {"beat", R"({"zz":{"a":[})", "error expected value at line 1 column 13"},
        {"beat", R"({"zz":[})", "error expected value at line 1 column 8"},
        {"beat", R"({"zz":[1,]})", "error trailing comma at line 1 column 10"},
        {"beat", R"({"zz":01})", "error invalid number at line 1 column 8"},
        {"beat", "5", "error invalid type: integer `5`, expected struct Beat at line 1 column 1"},
        {"beat", "\"x\"", "error invalid type: string \"x\", expected struct Beat at line 1 column 3"},
        {"beat", "", "error EOF while parsing a value at line 1 column 0"},
        {"beat", "x", "error expected value at line 1 column 1"},
        {"beat", beat_min + " \n", beat_min_out},
        {"beat", beat_min + " x", "error trailing characters at line 1 column 50"},
        {"beat", R"({"pool":"p",})", "error trailing comma at line 1 column 13"},
        {"beat", R"({"pool":"p" "id":1})", "error expected `,` or `}` at line 1 column 13"},
        {"beat", R"({"pool":"p")", "error EOF while parsing an object at line 1 column 11"},
        {"beat", "{\n\"pool\":\"p\",\n\"pool\":1}", "error duplicate field `pool` at line 3 column 6"},
        // Beat, array form
        {"beat", R"(["p",null,7,3,null,"x"])",
         R"(ok {"pool":"p","slot":null,"id":7,"incarnation":3,"policy":"x","size":null,)" +
             std::string(beat_defaults_tail)},
        {"beat", "[]", "error invalid length 0, expected struct Beat with 16 elements at line 1 column 2"},
        {"beat", R"(["p"])", "error invalid length 2, expected struct Beat with 16 elements at line 1 column 5"},
        {"beat", R"(["p",null,7])",
         "error invalid length 3, expected struct Beat with 16 elements at line 1 column 12"},
        {"beat", R"(["p",null,7,3,null])",
         "error invalid length 5, expected struct Beat with 16 elements at line 1 column 19"},
        {"beat", sixteen + "]",
         R"(ok {"pool":"p","slot":null,"id":7,"incarnation":3,"policy":"x","size":null,)" +
             std::string(beat_defaults_tail)},
        {"beat", sixteen + ",1]", "error trailing characters at line 1 column 68"},
        {"beat", sixteen + ",]", "error trailing comma at line 1 column 68"},
        {"beat", sixteen + ",", "error trailing characters at line 1 column 67"},
        {"beat", sixteen, "error EOF while parsing a list at line 1 column 66"},
        {"beat", R"(["p",])", "error trailing comma at line 1 column 6"},
        {"beat", R"(["p" null])", "error expected `,` or `]` at line 1 column 6"},
        {"beat", R"(["p",)", "error EOF while parsing a value at line 1 column 5"},
        {"beat", R"(["p")", "error EOF while parsing a list at line 1 column 4"},
        // Member
        {"member", R"({"id":7,"incarnation":3,"state":null,"ready":false})",
         R"(ok {"id":7,"incarnation":3,"state":null,"ready":false})"},
        {"member", R"({"id":7,"incarnation":3,"state":{"b":1,"a":[true,null]},"ready":true})",
         R"(ok {"id":7,"incarnation":3,"state":{"a":[true,null],"b":1},"ready":true})"},
        {"member", R"({"id":7,"incarnation":3})", "error missing field `ready` at line 1 column 24"},
        {"member", R"([7,null,3,null,null,true])", R"(ok {"id":7,"incarnation":3,"state":null,"ready":true})"},
        {"member", "[7]", "error invalid length 2, expected struct Member with 6 elements at line 1 column 3"},
        {"member", "[7,null,3]", "error invalid length 5, expected struct Member with 6 elements at line 1 column 10"},
        // BeatAck
        {"ack", R"({"ttl_ms":1000,"accepted":true})",
         R"(ok {"epoch":0,"protocol":0,"ttl_ms":1000,"accepted":true,"pools":{}})"},
        {"ack", "{}", "error missing field `ttl_ms` at line 1 column 2"},
        {"ack", R"({"ttl_ms":1})", "error missing field `accepted` at line 1 column 12"},
        {"ack", R"({"ttl_ms":1,"accepted":false,"refused":null})",
         R"(ok {"epoch":0,"protocol":0,"ttl_ms":1,"accepted":false,"pools":{}})"},
        {"ack", R"({"version":null})", "error invalid type: null, expected a string at line 1 column 15"},
        {"ack", R"({"pools":null})", "error invalid type: null, expected a map at line 1 column 13"},
        {"ack", R"({"pools":[]})", "error invalid type: sequence, expected a map at line 1 column 9"},
        {"ack", R"({"protocol":4294967295,"ttl_ms":1,"accepted":true})",
         R"(ok {"epoch":0,"protocol":4294967295,"ttl_ms":1,"accepted":true,"pools":{}})"},
        {"ack", R"({"protocol":4294967296})",
         "error invalid value: integer `4294967296`, expected u32 at line 1 column 22"},
        {"ack", R"({"protocol":-1})", "error invalid value: integer `-1`, expected u32 at line 1 column 14"},
        {"ack", R"({"protocol":2.5})", "error invalid type: floating point `2.5`, expected u32 at line 1 column 15"},
        {"ack", R"({"version":"a","version":"b"})", "error duplicate field `version` at line 1 column 24"},
        {"ack", R"({"pools":{"p":{"version":1,"version":2}}})", "error duplicate field `version` at line 1 column 36"},
        {"ack", R"({"pools":{"p":{"version":1,"roster":0}}})", "error missing field `policy` at line 1 column 38"},
        {"ack", R"({"pools":{"p":{"policy":"x"}}})", "error missing field `version` at line 1 column 28"},
        {"ack", R"({"pools":{"p":5}})",
         "error invalid type: integer `5`, expected struct PoolDelta at line 1 column 15"},
        {"ack", R"({"pools":{"p":{"version":1,"roster":0,"policy":"x","changed":null}}})",
         "error invalid type: null, expected a sequence at line 1 column 65"},
        {"ack", "5", "error invalid type: integer `5`, expected struct BeatAck at line 1 column 1"},
        {"ack", R"({"ttl_ms":1,"accepted":true,"pools":{"p":[3,0,"x"],"q":[4,0,"y"],"p":[5,0,"z"]}})",
         R"(ok {"epoch":0,"protocol":0,"ttl_ms":1,"accepted":true,"pools":{"p":{"version":5,"roster":0,"policy":"z","methods":[],"size":null,"changed":[],"removed":[],"full":false},"q":{"version":4,"roster":0,"policy":"y","methods":[],"size":null,"changed":[],"removed":[],"full":false}}})"},
        {"ack", R"({"pools":{"p":[3,0]}})",
         "error invalid length 2, expected struct PoolDelta with 8 elements at line 1 column 19"},
        {"ack", R"([1,2,"0.17.0",10000,true])",
         R"(ok {"epoch":1,"protocol":2,"version":"0.17.0","ttl_ms":10000,"accepted":true,"pools":{}})"},
        {"ack", R"([1,2,"0.17.0",10000])",
         "error invalid length 4, expected struct BeatAck with 7 elements at line 1 column 20"},
        {"ack", "[]", "error invalid length 3, expected struct BeatAck with 7 elements at line 1 column 2"},
        {"ack", R"([1,2,"v",1,true,null,{},0])", "error trailing characters at line 1 column 25"},
        {"ack", R"({"ttl_ms":1,"accepted":true,"pools":{"p":[3,0,"x",["m"],7,[[7,null,3,null,null,true]],[9],true]}})",
         R"(ok {"epoch":0,"protocol":0,"ttl_ms":1,"accepted":true,"pools":{"p":{"version":3,"roster":0,"policy":"x","methods":["m"],"size":7,"changed":[{"id":7,"incarnation":3,"state":null,"ready":true}],"removed":[9],"full":true}}})"},
        {"ack", R"({"pools":{"p":{"version":1,"roster":0,"policy":"x","changed":[{"id":1}]}}})",
         "error missing field `incarnation` at line 1 column 70"},
    };
    for (const auto& c : cases) EXPECT_EQ(roundtrip(c.kind, c.input), c.expected) << c.kind << " " << c.input;
}

// A state nested `levels` arrays deep.
std::string nested_state(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(Records, NestingBudgetIsSharedByTheWholeDocument) {
    auto beat_with = [](int levels) {
        return R"({"pool":"p","id":7,"incarnation":3,"policy":"x","state":)" + nested_state(levels) + "}";
    };
    EXPECT_TRUE(read_beat(beat_with(126)).ok());
    EXPECT_EQ(read_beat(beat_with(127)).error().message, "recursion limit exceeded");

    auto ack_with = [](int levels) {
        return R"({"ttl_ms":1,"accepted":true,"pools":{"p":{"version":1,"roster":0,"policy":"x","changed":[{"id":1,"incarnation":1,"ready":true,"state":)" +
               nested_state(levels) + "}]}}}";
    };
    EXPECT_TRUE(read_beat_ack(ack_with(122)).ok());
    EXPECT_EQ(read_beat_ack(ack_with(123)).error().message, "recursion limit exceeded");

    // Skipped values do not count, however deep, and do not exhaust the stack.
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_TRUE(read_beat(R"({"zz":)" + deep + R"(,"pool":"p","id":7,"incarnation":3,"policy":"x"})").ok());
}

TEST(Records, EveryRecordRoundTrips) {
    const std::string beat =
        R"({"pool":"p\n","slot":1,"id":18446744073709551615,"incarnation":4194304000000000000,"publication":9,"policy":"x","size":3,"url":"http://h/","state":{"a":[1,-2,3.5,"s",null,true,{}]},"ready":true,"leaving":false,"exclusive":true,"methods":["a","b"],"watch":["p","q"],"seen":{"p":1,"q":2},"hold_ms":2500})";
    EXPECT_EQ(roundtrip("beat", beat), "ok " + beat);
    const std::string ack =
        R"({"epoch":3,"protocol":2,"version":"0.17.0","ttl_ms":1,"accepted":false,"refused":"pool \"p\" is full","pools":{"a":{"version":2,"roster":9,"policy":"x","methods":["m"],"size":2,"changed":[{"id":1,"slot":1,"incarnation":2,"url":"u","state":1.5,"ready":false}],"removed":[4,5],"full":false}}})";
    EXPECT_EQ(roundtrip("ack", ack), "ok " + ack);
}

TEST(Records, CloneSharesNothing) {
    Member m;
    m.state = read_value(R"({"a":[1]})").value();
    m.url = "u";
    Member copy = m.clone();
    std::get<Object>(copy.state.v)[0].second = Value(false);
    copy.url->append("x");
    EXPECT_EQ(write_member(m), R"({"id":0,"incarnation":0,"url":"u","state":{"a":[1]},"ready":false})");
}

}  // namespace
}  // namespace murlo::proto
