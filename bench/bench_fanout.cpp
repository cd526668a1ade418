// The registry holding many beats: 10,000 members on 100 h2c connections
// (100 streams each) hold beats of 5 s against a registry-driver process while
// nothing changes; then one member changes its state. Prints the registry's
// CPU and RSS while idle (median of three windows), the changer's own answer time and the time until
// every held beat has been answered with the change (median of several changes).
//
// Usage: bench_fanout [MEMBERS] [CHANGES]  (defaults 10000 and 5; env
// MURLO_BUILD locates the registry driver). Unknown flags are ignored.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "process_support.hpp"
#include "murlo/proto/records.hpp"
#include "murlo/runtime/h2_client.hpp"
#include "murlo/runtime/runtime.hpp"

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using murlo::proto::Beat;
using murlo::proto::Value;
using murlo::runtime::H2Client;
using murlo::runtime::H2Response;

namespace {

using murlo::bench::read_line;
using murlo::bench::usage;

constexpr int kConnections = 100;
constexpr std::uint64_t kTtlMs = 20'000;  // holds up to min(ttl/2, 5000) = 5 s
constexpr std::uint64_t kHoldMs = 5'000;
constexpr std::uint64_t kChanger = 1;
// As the members' own client does: small requests are not held back by Nagle.
const murlo::runtime::H2ClientOptions nodelay{.connector = murlo::runtime::Connector{.nodelay = true}};

struct Shared {
    std::string target;
    std::atomic<int> joined{0};
    // The newest version of pool "w" each member has been answered with.
    std::vector<std::atomic<std::uint64_t>> seen;
    explicit Shared(std::size_t n) : seen(n) {}
};

Beat member_beat(std::uint64_t id, std::uint64_t version, std::uint64_t hold) {
    Beat b;
    b.pool = id == kChanger ? "w" : "m";
    b.id = id;
    b.incarnation = 1;
    b.policy = "bench";
    b.state = Value::object({});
    b.watch = {"w"};
    if (version) b.seen["w"] = version;
    b.hold_ms = hold;
    return b;
}

// One member: join, then held beats for ever, noting the version of "w" each answer brings.
asio::awaitable<void> member(std::shared_ptr<Shared> s, std::shared_ptr<H2Client> client, std::uint64_t id,
                             std::size_t index) {
    std::uint64_t version = 0;
    bool joined = false;
    for (;;) {
        Beat b = member_beat(id, version, joined ? kHoldMs : 0);
        std::string body;
        b.serialize(body);
        auto head = co_await client->request("POST", s->target, "application/json", std::move(body),
                                             murlo::runtime::deadline_after(kHoldMs * 2));
        auto* response = std::get_if<H2Response>(&head);
        if (!response) continue;
        auto got = co_await response->body(murlo::runtime::deadline_after(kHoldMs * 2));
        auto* text = std::get_if<std::string>(&got);
        if (!text) continue;
        auto ack = murlo::proto::read_beat_ack(*text);
        if (!ack) continue;
        auto it = ack.value().pools.find("w");
        if (it != ack.value().pools.end()) version = it->second.version;
        if (!joined) {
            joined = true;
            ++s->joined;
        }
        s->seen[index].store(version);
    }
}

// The changer publishes `n`; returns its own answer time in ms.
struct Changed {
    Clock::time_point sent;  // when the changing beat left, over a connection already open
    double own_ms;           // until its answer had arrived whole
};

Changed change(const std::string& target, int n) {
    murlo::runtime::Runtime rt(murlo::runtime::RuntimeOptions{1, "changer"});
    auto task = [&]() -> asio::awaitable<Changed> {
        H2Client client(co_await asio::this_coro::executor, nodelay);
        // Open the connection first: its set-up is not the registry's answer time.
        std::string health = target.substr(0, target.rfind("/v1/beat")) + "/health";
        std::string no_body;
        auto warm =
            co_await client.request("GET", health, "", std::move(no_body), murlo::runtime::deadline_after(10'000));
        if (auto* r = std::get_if<H2Response>(&warm)) co_await r->body(murlo::runtime::deadline_after(10'000));
        Beat b = member_beat(kChanger, 0, 0);
        b.state = Value::object({{"n", Value(static_cast<std::uint64_t>(n))}});
        b.watch = {};
        b.publication = static_cast<std::uint64_t>(n);
        std::string body;
        b.serialize(body);
        const auto t0 = Clock::now();
        auto head = co_await client.request("POST", target, "application/json", std::move(body),
                                            murlo::runtime::deadline_after(10'000));
        if (auto* r = std::get_if<H2Response>(&head)) co_await r->body(murlo::runtime::deadline_after(10'000));
        co_return Changed{t0, std::chrono::duration<double, std::milli>(Clock::now() - t0).count()};
    };
    return rt.block_on(task());
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<int> numbers;
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-') numbers.push_back(std::atoi(argv[i]));
    const int members = numbers.size() > 0 ? std::max(1, numbers[0]) : 10'000;
    const int changes = numbers.size() > 1 ? std::max(1, numbers[1]) : 5;

    const std::string driver = murlo::bench::driver_path();
    if (::access(driver.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "bench_fanout: %s is not built\n", driver.c_str());
        return 1;
    }
    const auto started = murlo::bench::start_registry(driver, kTtlMs);
    const pid_t registry = started.pid;
    const std::string target = "http://" + read_line(started.out) + "/v1/beat";

    change(target, 0);  // the changer joins pool "w" first
    auto s = std::make_shared<Shared>(static_cast<std::size_t>(members));
    s->target = target;
    murlo::runtime::Runtime rt(murlo::runtime::RuntimeOptions{0, "fanout"});
    std::vector<std::shared_ptr<H2Client>> clients;
    std::vector<murlo::runtime::Runtime::Strand> strands;
    for (int c = 0; c < kConnections; ++c) {
        strands.push_back(rt.make_strand());
        clients.push_back(std::make_shared<H2Client>(strands.back(), nodelay));
    }
    for (int i = 0; i < members; ++i) {
        const int c = i % kConnections;
        asio::co_spawn(strands[static_cast<std::size_t>(c)],
                       member(s, clients[static_cast<std::size_t>(c)], 1000 + static_cast<std::uint64_t>(i),
                              static_cast<std::size_t>(i)),
                       asio::detached);
    }
    while (s->joined.load() < members) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Let the joins' version steps settle: everyone holds the same version.
    std::this_thread::sleep_for(std::chrono::seconds(2));

    // Three windows as long as one hold, so each sees every member beat once; the median of each measure.
    std::printf("fanout: %d members on %d h2c connections holding %llu ms beats, nothing changing\n", members,
                kConnections, static_cast<unsigned long long>(kHoldMs));
    std::vector<double> cores, rss_mib;
    for (int window = 1; window <= 3; ++window) {
        const auto [t0, rss0] = usage(registry);
        const auto wall0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(kHoldMs));
        const auto [t1, rss1] = usage(registry);
        const double secs = std::chrono::duration<double>(Clock::now() - wall0).count();
        cores.push_back(100.0 * static_cast<double>(t1 - t0) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / secs);
        rss_mib.push_back(static_cast<double>(rss1) / 1024.0);
        std::printf("  idle window %d: %.1f%% of a core, RSS %.1f MiB\n", window, cores.back(), rss_mib.back());
    }
    std::printf("  registry idle: %.1f%% of a core, RSS %.1f MiB (goals: under 5%%, under 200 MiB)\n", median(cores),
                median(rss_mib));

    std::vector<double> own, all;
    for (int n = 1; n <= changes; ++n) {
        std::uint64_t before = 0;
        for (auto& v : s->seen) before = std::max(before, v.load());
        const Changed changed = change(target, n);
        const auto start = changed.sent;
        own.push_back(changed.own_ms);
        // Every member has been answered with a version past `before`.
        for (;;) {
            bool done = true;
            for (auto& v : s->seen)
                if (v.load() <= before) {
                    done = false;
                    break;
                }
            if (done) break;
            if (Clock::now() - start > std::chrono::seconds(20)) {
                std::printf("  change %d: not every held beat was answered within 20 s\n", n);
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        all.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    std::printf(
        "  one change (median of %d): changer answered in %.2f ms (goal under 5), all %d held beats "
        "answered in %.1f ms (goal under 100)\n",
        changes, median(own), members, median(all));
    std::fflush(stdout);
    ::kill(registry, SIGKILL);
    ::waitpid(registry, nullptr, 0);
    rt.shutdown_background();
    std::_Exit(0);
}
