// SipHash-1-3 and wyrand against the shared vector files, exactly.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "murlo/client/beat/pool_cache.hpp"
#include "murlo/client/beat/shared.hpp"
#include "murlo/client/beat/siphash.hpp"
#include "murlo/client/beat/wyrand.hpp"

using namespace murlo::client::beat;

namespace {

std::vector<std::string> data_lines(const std::string& file) {
    std::ifstream in(std::string(MURLO_VECTORS_DIR) + "/" + file);
    EXPECT_TRUE(in) << file;
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') out.push_back(line);
    return out;
}

std::string unhex(const std::string& hex) {
    if (hex == "-") return {};
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<std::uint64_t> numbers_in(const std::string& list) {
    std::vector<std::uint64_t> out;
    std::string cleaned;
    for (char c : list) cleaned.push_back(c == '[' || c == ']' || c == ',' ? ' ' : c);
    std::istringstream in(cleaned);
    for (std::uint64_t n; in >> n;) out.push_back(n);
    return out;
}

}  // namespace

TEST(SipHash13, MatchesVectorsWholeAndInPieces) {
    auto lines = data_lines("siphash13.txt");
    ASSERT_GE(lines.size(), 11u);
    for (const auto& line : lines) {
        std::istringstream in(line);
        std::size_t len = 0;
        std::string hex;
        std::uint64_t digest = 0;
        in >> len >> hex >> digest;
        const std::string msg = unhex(hex);
        ASSERT_EQ(msg.size(), len) << line;
        EXPECT_EQ(siphash13(msg), digest) << line;
        // The streaming form must not depend on how the bytes are cut.
        for (std::size_t cut : {1u, 3u, 7u, 9u}) {
            SipHasher13 h;
            for (std::size_t i = 0; i < msg.size(); i += cut) h.write(msg.substr(i, cut));
            EXPECT_EQ(h.finish(), digest) << line << " in pieces of " << cut;
        }
    }
}

TEST(SipHash13, TypedWritesEqualTheirBytes) {
    // Numbers and single bytes at every alignment of the pending tail.
    for (std::size_t lead = 0; lead < 9; ++lead) {
        SipHasher13 h;
        std::string bytes(lead, 'a');
        h.write(bytes);
        h.write_u64(0x0102030405060708ull);
        h.write_u8(0xff);
        h.write_u32(0x0a0b0c0du);
        h.write_u64(0);
        h.write("xyz");
        bytes += std::string("\x08\x07\x06\x05\x04\x03\x02\x01\xff\x0d\x0c\x0b\x0a", 13);
        bytes += std::string(8, '\0') + "xyz";
        EXPECT_EQ(h.finish(), siphash13(bytes)) << lead;
    }
}

TEST(SipHash13, SeedMessageLayout) {
    // pid 4242, id 7, incarnation 3, seconds 12345, nanoseconds 678, counter 0.
    EXPECT_EQ(selection_seed(4242, 7, 3, 12345, 678, 0), 6880439196281979942ull);
}

TEST(SipHash13, FieldDigestMessageLayout) {
    // One member 7/3 without url, ready, state {"a":"x"}; fields url, ready, a.
    CachedPool pool;
    murlo::proto::Member m;
    m.id = 7;
    m.incarnation = 3;
    m.ready = true;
    m.state = Value::object({{"a", Value("x")}});
    pool.members.emplace(7, m);
    const std::vector<std::string> fields{"url", "ready", "a"};
    EXPECT_EQ(pool.field_digest(fields), 10341021577801363741ull);
}

TEST(Wyrand, StepsAndDraws) {
    int steps = 0, draws = 0;
    for (const auto& line : data_lines("wyrand.txt")) {
        std::istringstream in(line);
        std::string kind;
        in >> kind;
        if (kind == "step") {
            // step S -> state S2 output O
            std::uint64_t state = 0, want_state = 0, want_output = 0;
            std::string arrow, word1, word2;
            in >> state >> arrow >> word1 >> want_state >> word2 >> want_output;
            const std::uint64_t output = wyrand(state);
            EXPECT_EQ(state, want_state) << line;
            EXPECT_EQ(output, want_output) << line;
            ++steps;
        } else if (kind == "draws") {
            // draws state S n N -> [..] final state F
            std::uint64_t state = 0, n = 0;
            std::string w;
            in >> w >> state >> w >> n >> w;
            std::string rest;
            std::getline(in, rest);
            const auto close = rest.find(']');
            const auto want = numbers_in(rest.substr(0, close + 1));
            const auto tail =
                numbers_in(rest.substr(close + 1).substr(rest.substr(close + 1).find_first_of("0123456789")));
            ASSERT_EQ(tail.size(), 1u) << line;
            std::vector<std::uint64_t> got;
            for (std::size_t i = 0; i < want.size(); ++i) got.push_back(draw_below(state, n));
            EXPECT_EQ(got, want) << line;
            EXPECT_EQ(state, tail[0]) << line;
            ++draws;
        }
    }
    EXPECT_EQ(steps, 4);
    EXPECT_EQ(draws, 7);
}
