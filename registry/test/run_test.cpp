// The run loop's pieces: sweep period, listen text, bind, the bound address as
// text, and run itself on a real socket.

#include <gtest/gtest.h>

#include <future>
#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>

#include "murlo/registry/run.hpp"
#include "run/listener.hpp"
#include "run/sweep.hpp"
#include "murlo/runtime/runtime.hpp"
#include "run_one.hpp"
#include "test_beats.hpp"

namespace murlo::registry {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

TEST(SweepPeriod, QuarterOfTheLeaseClamped) {
    const std::pair<std::uint64_t, std::int64_t> cases[] = {
        {0, 50}, {199, 50}, {200, 50}, {203, 50}, {204, 51}, {3'999, 999}, {4'000, 1000}, {4'004, 1000}, {~0ULL, 1000},
    };
    for (const auto& [ttl, period] : cases) EXPECT_EQ(sweep_period(ttl).count(), period) << ttl;
}

TEST(SweepStall, LateOnlyPastTheDueTimeAndThePreviousSweepsEnd) {
    using testing::t0;
    EXPECT_EQ(stall_after(250ms), 312ms);
    EXPECT_EQ(stall_after(1000ms), 1250ms);
    const auto late = stall_after(250ms);
    struct Case {
        Instant due, previous_end, now;
        bool stalled;
    };
    const Case cases[] = {
        {t0, t0 - 200ms, t0 + 1ms, false},      // on time
        {t0, t0 - 200ms, t0 + 312ms, false},    // late, up to the limit
        {t0, t0 - 200ms, t0 + 313ms, true},     // past it
        {t0, t0 - 200ms, t0 + 700ms, true},     // stopped 700 ms
        {t0, t0 + 750ms, t0 + 751ms, false},    // the sweep before ran for three periods
        {t0, t0 + 750ms, t0 + 1062ms, false},   // ... then the tick was late, up to the limit
        {t0, t0 + 750ms, t0 + 1063ms, true},    // ... past it
        {t0 + 5s, t0 + 750ms, t0 + 5s, false},  // on time again
    };
    for (const Case& c : cases) {
        EXPECT_EQ(stalled(c.due, c.previous_end, c.now, late), c.stalled)
            << (c.now - c.due) / 1ms << " ms past due, " << (c.now - c.previous_end) / 1ms << " ms past the sweep";
    }
}

// A stop of the registry, for the tick numbered `tick`: before it fires, or in
// the middle of its sweep (after the sweep read the clock, before it ended).
struct Stop {
    std::size_t tick;
    std::chrono::milliseconds length;
    bool inside_sweep;
};

// The sweep task's loop on an injected clock: each tick fires when it is due
// or when the sweep before it has ended, whichever is later; each sweep runs
// for `runs` on its thread, plus the length of a stop inside it on the wall.
struct Paced {
    std::size_t stalls = 0;
    std::optional<Instant> stalled_since;  // of the last stall
    std::optional<Instant> gone;           // the first sweep that left pool "p" empty
};

Paced pace(Registry& registry, std::chrono::milliseconds period, std::chrono::milliseconds runs, std::size_t ticks,
           std::span<const Stop> stops = {}) {
    Paced out;
    SweepSchedule schedule(testing::t0, period);
    Instant clock = testing::t0;
    for (std::size_t i = 0; i < ticks; ++i) {
        const auto stop = std::ranges::find(stops, i, &Stop::tick);
        Instant now = std::max(schedule.due(), clock);
        if (stop != stops.end() && !stop->inside_sweep) now += stop->length;
        if (const std::optional<Instant> since = schedule.fire(now)) {
            ++out.stalls;
            out.stalled_since = since;
            registry.sweep_after_stall(*since, now);
        } else {
            registry.sweep(now);
        }
        if (!out.gone && registry.snapshot().at("p").members == 0) out.gone = now;
        clock = now + runs;
        if (stop != stops.end() && stop->inside_sweep) clock += stop->length;
        schedule.swept(clock, runs);
    }
    return out;
}

TEST(SweepSchedule, ASweepThatRunsLongIsNoStallAndExpiryGoesOn) {
    // Lease 1 s, period 250 ms, every sweep running for three periods.
    Registry registry(1'000);
    registry.beat_shared(testing::minimal_beat("p", 1, 1), testing::t0);
    const Paced paced = pace(registry, 250ms, 750ms, 20);
    EXPECT_EQ(paced.stalls, 0u);
    ASSERT_TRUE(paced.gone);
    // The first sweep at or after the deadline removes it.
    const auto gone_ms = (*paced.gone - testing::t0) / 1ms;
    EXPECT_GE(gone_ms, 1000);
    EXPECT_LE(gone_ms, 1750);
}

TEST(SweepSchedule, AStopIsOneStallFromTheSweepBeforeIt) {
    // Lease 1 s, period 250 ms; a member beats at t0 + 500 ms (deadline
    // t0 + 1.5 s) and then stays silent. A stop of 3 s covers its deadline,
    // before a tick or inside a sweep, with quick sweeps or sweeps that run
    // for three periods: one stall, from the clock reading of the sweep before
    // the stop or of the stopped sweep, and one more lease from its end.
    struct Case {
        const char* what;
        std::chrono::milliseconds runs;
        std::vector<Stop> stops;
        std::size_t stalls;
        std::int64_t since_ms, gone_ms;
    };
    const Case cases[] = {
        {"quick sweeps, stop before a tick", 1ms, {{4, 3s, false}}, 1, 750, 5000},
        {"quick sweeps, stop inside a sweep", 1ms, {{3, 3s, true}}, 1, 750, 5000},
        {"long sweeps, stop before a tick", 750ms, {{1, 3s, false}}, 1, 0, 5250},
        {"long sweeps, stop inside a sweep", 750ms, {{1, 3s, true}}, 1, 750, 6000},
        // Still silent at the second stop: its one extra lease is spent.
        {"quick sweeps, two stops inside sweeps", 1ms, {{3, 3s, true}, {16, 3s, true}}, 2, 4000, 7001},
    };
    const auto ms = [](std::optional<Instant> at) { return at ? (*at - testing::t0) / 1ms : -1; };
    for (const Case& c : cases) {
        Registry registry(1'000);
        registry.beat_shared(testing::minimal_beat("p", 1, 1), testing::t0 + 500ms);
        const Paced paced = pace(registry, 250ms, c.runs, 40, c.stops);
        EXPECT_EQ(paced.stalls, c.stalls) << c.what;
        EXPECT_EQ(ms(paced.stalled_since), c.since_ms) << c.what;
        EXPECT_EQ(ms(paced.gone), c.gone_ms) << c.what;
    }
}

tcp::endpoint v6(const char* text, unsigned short port, unsigned long scope = 0) {
    auto a = asio::ip::make_address_v6(text);
    a.scope_id(scope);
    return {a, port};
}

TEST(AddressText, StandardForms) {
    const std::pair<tcp::endpoint, const char*> cases[] = {
        {{asio::ip::make_address_v4("127.0.0.1"), 8080}, "127.0.0.1:8080"},
        {{asio::ip::make_address_v4("0.0.0.0"), 0}, "0.0.0.0:0"},
        {v6("::1", 8080), "[::1]:8080"},
        {v6("::", 1), "[::]:1"},
        {v6("fe80::1", 80, 2), "[fe80::1%2]:80"},
        {v6("::ffff:10.1.2.3", 9), "[::ffff:10.1.2.3]:9"},
        {v6("::10.1.2.3", 9), "[::a01:203]:9"},
        {v6("2001:db8:0:0:1:0:0:1", 443), "[2001:db8::1:0:0:1]:443"},
        {v6("2001:db8:0:1:1:1:1:1", 443), "[2001:db8:0:1:1:1:1:1]:443"},
        {v6("2001:DB8::ABCD", 65535), "[2001:db8::abcd]:65535"},
        {v6("1:0:0:2:0:0:0:3", 7), "[1:0:0:2::3]:7"},
        {v6("1::", 7), "[1::]:7"},
    };
    for (const auto& [endpoint, text] : cases) EXPECT_EQ(listener::address_text(endpoint), text);
}

using testing::run_one;

std::string resolve_error(const std::string& text) {
    auto r = run_one(listener::resolve(text));
    if (auto* e = std::get_if<StartError>(&r)) return e->text;
    return "";
}

TEST(Resolve, ErrorTexts) {
    EXPECT_EQ(resolve_error("localhost"), "invalid socket address");
    EXPECT_EQ(resolve_error(""), "invalid socket address");
    EXPECT_EQ(resolve_error("localhost:"), "invalid port value");
    EXPECT_EQ(resolve_error("localhost:65536"), "invalid port value");
    EXPECT_EQ(resolve_error("localhost:-1"), "invalid port value");
    EXPECT_EQ(resolve_error("localhost:80x"), "invalid port value");
    EXPECT_EQ(resolve_error("127.0.0.1:99999"), "invalid port value");
    EXPECT_EQ(resolve_error("[::1]:http"), "invalid port value");
    // .invalid never resolves (RFC 6761), with or without a network.
    const std::string lookup = resolve_error("no-such-host.invalid:80");
    EXPECT_EQ(lookup.rfind("failed to lookup address information: ", 0), 0u) << lookup;
    EXPECT_GT(lookup.size(), std::string("failed to lookup address information: ").size());
}

TEST(Resolve, LiteralsAreUsedAsIs) {
    struct Case {
        const char* text;
        std::string address;
    } cases[] = {
        {"127.0.0.1:0", "127.0.0.1:0"}, {"10.0.0.1:8080", "10.0.0.1:8080"},
        {"[::1]:8080", "[::1]:8080"},   {"[fe80::1%3]:80", "[fe80::1%3]:80"},
        {"localhost:65535", ""},  // a name: any loopback answer will do
    };
    for (const Case& c : cases) {
        auto r = run_one(listener::resolve(c.text));
        ASSERT_TRUE(std::holds_alternative<std::vector<tcp::endpoint>>(r)) << c.text;
        const auto& list = std::get<std::vector<tcp::endpoint>>(r);
        ASSERT_FALSE(list.empty()) << c.text;
        if (!c.address.empty()) {
            ASSERT_EQ(list.size(), 1u);
            EXPECT_EQ(listener::address_text(list[0]), c.address);
        }
        for (const auto& e : list) {
            EXPECT_EQ(e.port(), c.address.empty() ? 65535 : e.port());
            EXPECT_TRUE(e.address().is_loopback() || !c.address.empty()) << c.text;
        }
    }
}

TEST(Bind, FirstAddressThatBindsWins) {
    asio::io_context io;
    // 192.0.2.1 (TEST-NET-1) is not an address of this host: EADDRNOTAVAIL.
    auto r = listener::bind(io.get_executor(),
                            {{asio::ip::make_address_v4("192.0.2.1"), 0}, {asio::ip::make_address_v4("127.0.0.1"), 0}});
    ASSERT_TRUE(std::holds_alternative<tcp::acceptor>(r)) << std::get<StartError>(r).text;
    const tcp::endpoint local = std::get<tcp::acceptor>(r).local_endpoint();
    EXPECT_EQ(local.address().to_string(), "127.0.0.1");
    EXPECT_NE(local.port(), 0);
}

TEST(Bind, LastFailureIsReturned) {
    asio::io_context io;
    auto first = listener::bind(io.get_executor(), {{asio::ip::make_address_v4("127.0.0.1"), 0}});
    ASSERT_TRUE(std::holds_alternative<tcp::acceptor>(first));
    const tcp::endpoint taken = std::get<tcp::acceptor>(first).local_endpoint();

    auto r = listener::bind(io.get_executor(), {{asio::ip::make_address_v4("192.0.2.1"), 0}, taken});
    ASSERT_TRUE(std::holds_alternative<StartError>(r));
    EXPECT_EQ(std::get<StartError>(r).text, "Address already in use (os error 98)");
    EXPECT_EQ(std::get<StartError>(r).kind, StartError::Kind::os);

    auto r2 = listener::bind(io.get_executor(), {taken, {asio::ip::make_address_v4("192.0.2.1"), 0}});
    ASSERT_TRUE(std::holds_alternative<StartError>(r2));
    EXPECT_EQ(std::get<StartError>(r2).text, "Cannot assign requested address (os error 99)");

    auto none = listener::bind(io.get_executor(), {});
    EXPECT_EQ(std::get<StartError>(none).text, "could not resolve to any address");
}

TEST(Bind, ListenerFlags) {
    asio::io_context io;
    auto r = listener::bind(io.get_executor(), {{asio::ip::make_address_v4("127.0.0.1"), 0}});
    auto& acceptor = std::get<tcp::acceptor>(r);
    const int fd = acceptor.native_handle();
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, &len), 0);
    EXPECT_EQ(on, 1);
}

// run on a real io_context thread: the announcement, then a connection.
TEST(Run, AnnouncesThePortTheSystemChoseAndServes) {
    asio::io_context io;
    std::promise<std::string> announced;
    int calls = 0;
    asio::co_spawn(io,
                   run("127.0.0.1:0", 2'000,
                       [&](std::string_view a) {
                           ++calls;
                           announced.set_value(std::string(a));
                       }),
                   asio::detached);
    std::thread worker([&] { io.run(); });
    auto future = announced.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    const std::string address = future.get();
    ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address;
    const auto port = static_cast<unsigned short>(std::stoi(address.substr(10)));
    EXPECT_NE(port, 0);

    // Accepting: a plain connect succeeds and the listener answers HTTP.
    asio::io_context client;
    tcp::socket s(client);
    s.connect({asio::ip::make_address_v4("127.0.0.1"), port});
    const std::string req = "GET /health HTTP/1.1\r\nhost: x\r\n\r\n";
    asio::write(s, asio::buffer(req));
    std::string got(512, '\0');
    std::size_t n = 0;
    boost::system::error_code ec;
    while (got.find("\"protocol\":2}") == std::string::npos || n == 0) {
        n += s.read_some(asio::buffer(got.data() + n, got.size() - n), ec);
        if (ec) break;
        if (std::string_view(got.data(), n).find("\"protocol\":2}") != std::string_view::npos) break;
    }
    got.resize(n);
    EXPECT_NE(got.find("HTTP/1.1 200"), std::string::npos) << got;
    io.stop();
    worker.join();
    EXPECT_EQ(calls, 1);
}

TEST(Run, AddressInUseAnnouncesNothing) {
    asio::io_context io;
    auto holder = listener::bind(io.get_executor(), {{asio::ip::make_address_v4("127.0.0.1"), 0}});
    const auto taken = std::get<tcp::acceptor>(holder).local_endpoint();
    bool announced = false;
    auto result = asio::co_spawn(
        io, run(listener::address_text(taken), 2'000, [&](std::string_view) { announced = true; }), asio::use_future);
    // The sweep task keeps the context busy for ever; run until the failure arrives.
    while (result.wait_for(0s) != std::future_status::ready) io.run_one_for(100ms);
    const StartError e = result.get();
    EXPECT_EQ(e.text, "Address already in use (os error 98)");
    EXPECT_FALSE(announced);
}

std::string beat_json(const std::string& pool, int id, const std::string& watch, std::uint64_t hold_ms) {
    std::string watching =
        watch.empty() ? R"("watch":[],"seen":{})" : R"("watch":[")" + watch + R"("],"seen":{")" + watch + R"(":1})";
    return R"({"pool":")" + pool + R"(","slot":null,"id":)" + std::to_string(id) +
           R"(,"incarnation":1,"policy":"rr","size":null,"url":null,"state":{},"ready":true,"leaving":false,)"
           R"("exclusive":false,"methods":[],)" +
           watching + R"(,"hold_ms":)" + std::to_string(hold_ms) + "}";
}

void send_beat(tcp::socket& s, const std::string& body) {
    const std::string req = "POST /v1/beat HTTP/1.1\r\nhost: x\r\ncontent-type: application/json\r\ncontent-length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body;
    asio::write(s, asio::buffer(req));
}

// The body of one HTTP/1.1 answer.
std::string read_answer(tcp::socket& s) {
    std::string got;
    const std::size_t head = asio::read_until(s, asio::dynamic_buffer(got), "\r\n\r\n");
    const auto at = got.find("content-length: ");
    if (at == std::string::npos || at > head) return "no length: " + got;
    const std::size_t length = std::stoul(got.substr(at + 16));
    if (got.size() < head + length)
        asio::read(s, asio::dynamic_buffer(got), asio::transfer_exactly(head + length - got.size()));
    return got.substr(head, length);
}

// On the runtime's workers, as the registry is served: connections land on
// different workers, and a change made on one wakes the beats held on all
// the others, each resumed on its own connection's worker.
TEST(Run, AChangeWakesBeatsHeldOnEveryWorker) {
    runtime::Runtime rt(runtime::RuntimeOptions{4, "run-workers"});
    std::promise<std::string> announced;
    rt.spawn([&]() -> asio::awaitable<void> {
        co_await run("127.0.0.1:0", 10'000, [&](std::string_view a) { announced.set_value(std::string(a)); });
    });
    auto future = announced.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    const std::string address = future.get();
    const tcp::endpoint registry{asio::ip::make_address_v4("127.0.0.1"),
                                 static_cast<unsigned short>(std::stoi(address.substr(10)))};

    asio::io_context client;
    tcp::socket changer(client);
    changer.connect(registry);
    send_beat(changer, beat_json("watched", 1, "", 0));
    ASSERT_NE(read_answer(changer).find(R"("accepted":true)"), std::string::npos);

    constexpr int watchers = 8;  // two per worker
    std::vector<tcp::socket> held;
    for (int i = 0; i < watchers; ++i) {
        held.emplace_back(client).connect(registry);
        send_beat(held.back(), beat_json("watcher", 10 + i, "watched", 4'000));
    }
    // Give the beats time to be parked; one that is not yet is answered the
    // same once it arrives.
    std::this_thread::sleep_for(100ms);
    send_beat(changer, beat_json("watched", 2, "", 0));
    ASSERT_NE(read_answer(changer).find(R"("accepted":true)"), std::string::npos);

    // A beat left unwoken would be answered at the end of its hold, without the pool.
    for (int i = 0; i < watchers; ++i) {
        const std::string ack = read_answer(held[i]);
        EXPECT_NE(ack.find(R"("watched":{"version":2)"), std::string::npos) << "watcher " << i << ": " << ack;
    }
    rt.shutdown();
}

}  // namespace
}  // namespace murlo::registry
