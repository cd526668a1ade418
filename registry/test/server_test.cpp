// Routing, the beat route's answers and the long-poll hold, against a real
// registry on a real io_context (no HTTP: the wire is tested from Python).

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/detached.hpp>

#include "murlo/proto/json.hpp"
#include "murlo/registry/server.hpp"
#include "state/access.hpp"
#include "run_one.hpp"
#include "test_beats.hpp"

namespace murlo::registry::server {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using proto::Beat;

Beat member(std::uint64_t id, std::string pool = "p") {
    return registry::testing::minimal_beat(std::move(pool), id, 1);
}

using registry::testing::run_one;

std::string beat_json(const Beat& beat) {
    std::string out;
    beat.serialize(out);
    return out;
}

struct Answer {
    unsigned status;
    std::string body;
    int body_reads;
};

// Serves one request through handle(), offering the body `ready` at once or
// only through read_body; nullopt stands for a body over the limit.
Answer call(std::shared_ptr<Registry> registry, std::string method, std::string target,
            std::optional<std::string> body = std::string(), bool ready = true) {
    int reads = 0;
    auto as_body = [&]() -> runtime::Body {
        ++reads;
        if (body) return *body;
        return runtime::BodyError::too_large;
    };
    runtime::HttpRequest request{method, target,
                                 [&](std::size_t limit) -> asio::awaitable<runtime::Body> {
                                     EXPECT_EQ(limit, 524'288u);
                                     co_return as_body();
                                 },
                                 [&](std::size_t limit) -> std::optional<runtime::Body> {
                                     EXPECT_EQ(limit, 524'288u);
                                     if (!ready) return std::nullopt;
                                     return as_body();
                                 }};
    runtime::HttpReply reply = handle(std::move(request), registry);
    runtime::HttpResponse r;
    if (auto* now = std::get_if<runtime::HttpResponse>(&reply))
        r = std::move(*now);
    else
        r = run_one(std::get<1>(std::move(reply)));
    EXPECT_EQ(r.content_type, "application/json");
    return {r.status, r.body, reads};
}

TEST(Routes, MatchMethodAndPathExactly) {
    const std::string health = R"({"status":"ok","version":"0.17.0","protocol":2})";
    struct Case {
        const char* method;
        const char* target;
        unsigned status;
        std::string body;
    } cases[] = {
        {"GET", "/health", 200, health},
        {"GET", "/health?x=1&y", 200, health},
        {"GET", "/health?", 200, health},
        {"GET", "/v1/pools", 200, "{}"},
        {"GET", "/v1/pools?verbose", 200, "{}"},
        {"GET", "/health/", 404, "{}"},
        {"GET", "/Health", 404, "{}"},
        {"get", "/health", 404, "{}"},
        {"HEAD", "/health", 404, "{}"},
        {"POST", "/health", 404, "{}"},
        {"GET", "/v1/beat", 404, "{}"},
        {"PUT", "/v1/beat", 404, "{}"},
        {"POST", "/v1/beat/", 404, "{}"},
        {"POST", "/v1//beat", 404, "{}"},
        {"POST", "/v1/%62eat", 404, "{}"},
        {"POST", "/v1/./beat", 404, "{}"},
        {"GET", "", 404, "{}"},
        {"GET", "*", 404, "{}"},
        {"GET", "health", 404, "{}"},
        {"GET", "http://registry:8080/health?x", 200, health},
        {"GET", "HTTP://registry/v1/pools", 200, "{}"},
        {"GET", "http://registry", 404, "{}"},
        {"GET", "http://registry/health/", 404, "{}"},
        {"GET", "1http://registry/health", 404, "{}"},
        {"GET", "://registry/health", 404, "{}"},
        {"GET", "/x?http://registry/health", 404, "{}"},
    };
    for (const Case& c : cases) {
        const Answer a = call(std::make_shared<Registry>(10'000), c.method, c.target);
        EXPECT_EQ(a.status, c.status) << c.method << " " << c.target;
        EXPECT_EQ(a.body, c.body) << c.method << " " << c.target;
        EXPECT_EQ(a.body_reads, 0) << "only a beat reads its body: " << c.method << " " << c.target;
    }
}

TEST(Routes, BeatAnswersByBody) {
    auto registry = std::make_shared<Registry>(10'000);
    Beat good = member(7);
    struct Case {
        std::optional<std::string> body;
        unsigned status;
        std::string prefix;
    } cases[] = {
        {std::nullopt, 413, "{}"},  // over the limit or broken off
        {"", 400, R"({"error":"EOF while parsing a value at line 1 column 0"})"},
        {"{}", 400, R"({"error":")"},
        {"[1,2", 400, R"({"error":")"},
        {beat_json(good) + "x", 400, R"({"error":")"},
        {beat_json(good), 200, R"({"epoch":)"},
        {beat_json(good) + " \n", 200, R"({"epoch":)"},
    };
    for (const Case& c : cases)
        for (bool ready : {true, false}) {
            const Answer a = call(registry, "POST", "/v1/beat?q=1", c.body, ready);
            EXPECT_EQ(a.status, c.status) << c.body.value_or("<none>");
            EXPECT_EQ(a.body.substr(0, c.prefix.size()), c.prefix) << a.body;
            EXPECT_EQ(a.body_reads, 1);
            if (c.status == 400) {
                // One key, its text a proper JSON string naming a position.
                auto v = proto::read_value(a.body);
                ASSERT_TRUE(v.ok()) << a.body;
                ASSERT_EQ(v.value().as_object()->size(), 1u);
                EXPECT_NE(v.value().find("error")->as_string()->find(" at line "), std::string::npos);
            }
            if (c.status == 200) {
                auto ack = proto::read_beat_ack(a.body);
                ASSERT_TRUE(ack.ok()) << a.body;
                EXPECT_TRUE(ack.value().accepted);
                EXPECT_EQ(ack.value().ttl_ms, 10'000u);
                EXPECT_EQ(ack.value().epoch, registry->epoch());
            }
        }
    EXPECT_EQ(registry->snapshot().at("p").members, 1u);
}

TEST(Routes, ErrorTextIsEscapedAsJson) {
    // A decoder message quoting the input must stay one valid JSON string.
    auto registry = std::make_shared<Registry>(10'000);
    const Answer a = call(registry, "POST", "/v1/beat", std::string(R"({"pool":"a\"b\\","slot":"x"})"));
    ASSERT_EQ(a.status, 400u);
    auto v = proto::read_value(a.body);
    ASSERT_TRUE(v.ok()) << a.body;
    EXPECT_EQ(v.value().as_object()->front().first, "error");
}

TEST(Routes, PoolListing) {
    auto registry = std::make_shared<Registry>(10'000);
    registry->beat_shared(member(1, "a"));
    registry->beat_shared(member(2, "a"));
    Beat watcher = member(3, "b");
    watcher.watch = {"only-watched", "we\"ird"};
    registry->beat_shared(watcher);
    registry->park(watcher.watch, std::make_shared<runtime::Notify>());

    const Answer a = call(registry, "GET", "/v1/pools");
    ASSERT_EQ(a.status, 200u);
    auto v = proto::read_value(a.body);
    ASSERT_TRUE(v.ok()) << a.body;
    const auto roster = proto::Member::roster_hash(1, 1) ^ proto::Member::roster_hash(2, 1);
    const std::string expect_a = R"({"members":2,"roster":)" + std::to_string(roster) + R"(,"version":2})";
    std::string a_text;
    proto::write_value(a_text, *v.value().find("a"));
    EXPECT_EQ(a_text, expect_a);
    std::string watched;
    proto::write_value(watched, *v.value().find("only-watched"));
    EXPECT_EQ(watched, R"({"members":0,"roster":0,"version":0})");
    EXPECT_NE(v.value().find("we\"ird"), nullptr);
    EXPECT_EQ(v.value().as_object()->size(), 4u);
    // Written compactly, each entry in the fixed key order.
    EXPECT_NE(a.body.find(R"("a":)" + expect_a), std::string::npos) << a.body;
}

TEST(Routes, PoolListingOrderIsNotFixed) {
    auto registry = std::make_shared<Registry>(10'000);
    for (int i = 0; i < 16; ++i) registry->beat_shared(member(i, "pool" + std::to_string(i)));
    const std::string first = pool_listing(*registry);
    bool differed = false;
    for (int i = 0; i < 50 && !differed; ++i) differed = pool_listing(*registry) != first;
    EXPECT_TRUE(differed) << "fifty listings of sixteen pools came out in one order";
}

TEST(HoldArithmetic, HoldAndSpread) {
    EXPECT_EQ(hold_for(2000, 500), 500u);
    EXPECT_EQ(hold_for(2001, 5000), 1000u);
    EXPECT_EQ(hold_for(2000, 0), 0u);
    EXPECT_EQ(hold_for(1, 100), 0u);
    EXPECT_EQ(spread_for(1000, 500), 55u);  // 1000 mod 63
    EXPECT_EQ(spread_for(12345, 7), 0u);    // below 8 ms: no spread
    EXPECT_EQ(spread_for(7, 8), 1u);        // 7 mod 2
    const std::uint64_t max = ~std::uint64_t{0};
    EXPECT_EQ(hold_for(max, max), max / 2);
    EXPECT_EQ(spread_for(max, max / 2), max % (max / 16 + 1));
}

// Holds run on one io_context; the clock is real, so bounds are loose above.
struct Timed {
    SharedBeatAck answer;
    std::chrono::milliseconds took;
};

Timed timed_hold(Registry& registry, const Beat& beat, std::function<void(asio::io_context&)> during = {}) {
    asio::io_context io;
    const auto start = std::chrono::steady_clock::now();
    auto result = asio::co_spawn(io, hold(registry, beat), asio::use_future);
    if (during) during(io);
    io.run();
    return {result.get(),
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)};
}

std::size_t watchers_of(const Registry& registry, const std::string& name) {
    std::size_t n = 0;
    RegistryAccess::inspect(registry, [&](const PoolTable& pools) {
        if (auto it = pools.find(name); it != pools.end()) n = it->second.watchers.size();
    });
    return n;
}

bool has_pool(const Registry& registry, const std::string& name) { return registry.snapshot().contains(name); }

TEST(Hold, AnsweredAtOnceWhenNothingToHoldFor) {
    Registry registry(2'000);
    registry.beat_shared(member(50, "q"));  // "q" exists at version 1

    Beat no_hold = member(1);
    no_hold.watch = {"q"};
    no_hold.seen = {{"q", 1}};

    Beat empty_watch = member(2);
    empty_watch.hold_ms = 800;

    Beat has_news = member(3);
    has_news.watch = {"q"};
    has_news.seen = {{"q", 0}};
    has_news.hold_ms = 800;

    Beat refused = member(4);
    refused.policy = "hash";  // "p" runs rr with live members
    refused.watch = {"never-made"};
    refused.hold_ms = 800;

    Beat over_limit = member(5);
    over_limit.pool = std::string(513, 'x');
    over_limit.watch = {"never-made-either"};
    over_limit.hold_ms = 800;

    for (const Beat* b : {&no_hold, &empty_watch, &has_news, &refused, &over_limit}) {
        const Timed t = timed_hold(registry, *b);
        EXPECT_LT(t.took, 300ms) << "id " << b->id;
    }
    EXPECT_EQ(watchers_of(registry, "q"), 0u) << "hold_ms 0 parks nowhere";
    EXPECT_FALSE(has_pool(registry, "never-made")) << "a refused beat creates no watched pool";
    EXPECT_FALSE(has_pool(registry, "never-made-either"));
    EXPECT_EQ(timed_hold(registry, has_news).answer.pools.at("q")->version, 1u);
}

TEST(Hold, MissingPoolWithoutSeenGetsFullEmptyDeltaAtOnce) {
    Registry registry(2'000);
    Beat b = member(1);
    b.watch = {"ghost"};
    b.hold_ms = 800;
    const Timed t = timed_hold(registry, b);
    EXPECT_LT(t.took, 300ms);
    ASSERT_TRUE(t.answer.accepted);
    const auto& delta = t.answer.pools.at("ghost");
    EXPECT_TRUE(delta->full);
    EXPECT_EQ(delta->version, 0u);
    EXPECT_TRUE(delta->changed.empty());
    EXPECT_TRUE(has_pool(registry, "ghost")) << "parking created it";
}

TEST(Hold, NothingChangesAnswersAfterHoldPlusSpread) {
    // ttl 400 caps hold_ms 5000 at 200; id 1000: spread 1000 mod 26 = 12.
    Registry registry(400);
    Beat b = member(1000);
    b.watch = {"ghost"};
    b.seen = {{"ghost", 0}};
    b.hold_ms = 5'000;
    const Timed t = timed_hold(registry, b);
    EXPECT_TRUE(t.answer.accepted);
    EXPECT_TRUE(t.answer.pools.empty());
    EXPECT_GE(t.took, 212ms - 2ms);
    EXPECT_LT(t.took, 212ms + 400ms);
    EXPECT_EQ(t.answer.ttl_ms, 400u);
    // The deadline's ring is answered from a last look: no second registration.
    EXPECT_EQ(watchers_of(registry, "ghost"), 1u);
}

TEST(Hold, DeadlineOfAnEndlessLeaseSaturates) {
    // hold = 2^63 - 1 ms: a wrapped deadline would lie in the past and answer
    // at once with nothing; a saturated one waits for the change.
    Registry registry(~std::uint64_t{0});
    Beat b = member(3, "home");
    b.watch = {"w"};
    b.seen = {{"w", 0}};
    b.hold_ms = ~std::uint64_t{0};
    const Timed t = timed_hold(registry, b, [&](asio::io_context& io) {
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                asio::steady_timer timer(io, 40ms);
                co_await timer.async_wait(asio::use_awaitable);
                registry.beat_shared(member(1, "w"));
            },
            asio::detached);
    });
    EXPECT_GE(t.took, 38ms);
    ASSERT_EQ(t.answer.pools.size(), 1u);
    EXPECT_EQ(t.answer.pools.at("w")->version, 1u);
}

TEST(Hold, LeavingBeatIsHeldToo) {
    Registry registry(2'000);
    Beat b = member(8);
    b.leaving = true;
    b.watch = {"ghost"};
    b.seen = {{"ghost", 0}};
    b.hold_ms = 60;  // spread 8 mod 8 = 0
    const Timed t = timed_hold(registry, b);
    EXPECT_GE(t.took, 58ms);
    EXPECT_TRUE(t.answer.accepted);
}

TEST(Hold, ChangeToAWatchedPoolAnswersAtOnceWithEveryMovedPool) {
    Registry registry(20'000);
    registry.beat_shared(member(1, "a"));
    registry.beat_shared(member(2, "b"));
    Beat b = member(9, "home");
    b.watch = {"a", "b", "a"};  // a repeated name registers twice
    b.seen = {{"a", 1}, {"b", 1}};
    b.hold_ms = 8'000;

    std::chrono::steady_clock::time_point changed_at;
    const Timed t = timed_hold(registry, b, [&](asio::io_context& io) {
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                asio::steady_timer timer(io, 50ms);
                co_await timer.async_wait(asio::use_awaitable);
                EXPECT_EQ(watchers_of(registry, "a"), 2u);
                EXPECT_EQ(watchers_of(registry, "b"), 1u);
                // Both pools move before the hold runs again: one answer carries both.
                Beat leave_b = member(2, "b");
                leave_b.leaving = true;
                registry.beat_shared(leave_b);
                registry.beat_shared(member(3, "a"));
                changed_at = std::chrono::steady_clock::now();
            },
            asio::detached);
    });
    const auto after_change = std::chrono::steady_clock::now() - changed_at;
    EXPECT_LT(after_change, 100ms);
    EXPECT_GE(t.took, 45ms);
    ASSERT_EQ(t.answer.pools.size(), 2u);
    EXPECT_EQ(t.answer.pools.at("a")->version, 2u);
    EXPECT_EQ(t.answer.pools.at("a")->changed.at(0).id, 3u);
    EXPECT_EQ(t.answer.pools.at("b")->removed, std::vector<std::uint64_t>{2});
}

TEST(Hold, WakeUpWithoutNewsParksAgainUnderTheSameDeadline) {
    Registry registry(20'000);
    registry.beat_shared(member(1, "a"));
    registry.beat_shared(member(2, "a"));
    Beat b = member(9, "home");
    b.watch = {"a"};
    b.seen = {{"a", 2}};  // up to date
    b.hold_ms = 400;      // spread 9 mod 51 = 9: deadline at 409 ms

    std::size_t parked_after_wake = 0;
    const Timed t = timed_hold(registry, b, [&](asio::io_context& io) {
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                asio::steady_timer timer(io, 250ms);
                co_await timer.async_wait(asio::use_awaitable);
                // Wake the handle without a version step of "a".
                std::shared_ptr<runtime::Notify> handle;
                RegistryAccess::inspect(
                    registry, [&](const PoolTable& pools) { handle = pools.at("a").watchers.front().lock(); });
                EXPECT_TRUE(handle);
                if (!handle) co_return;
                handle->notify_one();
                timer.expires_after(30ms);
                co_await timer.async_wait(asio::use_awaitable);
                parked_after_wake = watchers_of(registry, "a");
            },
            asio::detached);
    });
    EXPECT_TRUE(t.answer.pools.empty());
    EXPECT_EQ(parked_after_wake, 2u) << "the second pass parks once more";
    EXPECT_GE(t.took, 407ms);
    EXPECT_LT(t.took, 650ms) << "a new deadline would have come at 659 ms or later";
}

TEST(Hold, CancelledHoldKeepsTheBeatAndDropsItsHandle) {
    Registry registry(20'000);
    Beat b = member(5, "p");
    b.watch = {"w"};
    b.seen = {{"w", 0}};
    b.hold_ms = 8'000;
    asio::io_context io;
    asio::cancellation_signal cancel;
    auto result = asio::co_spawn(io, hold(registry, b), asio::bind_cancellation_slot(cancel.slot(), asio::use_future));
    asio::steady_timer timer(io, 30ms);
    timer.async_wait([&](auto) { cancel.emit(asio::cancellation_type::terminal); });
    const auto start = std::chrono::steady_clock::now();
    io.run();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_ANY_THROW(result.get()) << "an abandoned hold gives no answer";
    EXPECT_EQ(registry.snapshot().at("p").members, 1u) << "the beat stays applied";
    RegistryAccess::inspect(registry, [](const PoolTable& pools) {
        ASSERT_EQ(pools.at("w").watchers.size(), 1u);
        EXPECT_TRUE(pools.at("w").watchers.front().expired()) << "the registration died with the hold";
    });
}

}  // namespace
}  // namespace murlo::registry::server
