// Registry::beat_shared in the shapes that dominate a busy registry:
//   refresh     a lease refresh of one of 10,000 members (watching its pool, up to date)
//   publish     a state change in a pool its member watches: version step + delta build
//   shared      1,000 members at one `seen` asking for one incremental delta (one build)
//   alone       baseline for `shared`: the same refreshes with each delta built alone
//   full        a full delta of 5,000 members built and written
// Counters: beats_per_thread (per second) and members_per_s where one op is a round.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

// The pool table of the "alone" baseline is read through the library's private access header.
#include "../registry/src/state/access.hpp"
#include "murlo/registry/state.hpp"
#include "bench_beats.hpp"

namespace {

using murlo::proto::Beat;
using murlo::proto::Value;
using murlo::registry::PoolTable;
using murlo::registry::Registry;
using murlo::registry::RegistryAccess;

constexpr std::uint64_t ttl_ms = 3'600'000;  // nothing expires during a run

using murlo::bench::member;
using murlo::bench::state_of;

std::unique_ptr<Registry> filled(std::uint64_t members) {
    auto registry = std::make_unique<Registry>(ttl_ms);
    for (std::uint64_t id = 0; id < members; ++id) {
        Beat b = member(id);
        b.watch.clear();  // joins without deltas keep the set-up linear
        registry->beat_shared(b);
    }
    return registry;
}

void per_thread(benchmark::State& state, double beats) {
    state.counters["beats_per_thread"] =
        benchmark::Counter(beats, benchmark::Counter::kIsRate | benchmark::Counter::kAvgThreads);
}

void BM_refresh(benchmark::State& state) {
    static const std::unique_ptr<Registry> registry = filled(10'000);
    std::vector<Beat> beats;
    const std::uint64_t version = registry->snapshot().at("p").version;
    for (std::uint64_t i = 0; i < 1'000; ++i) {
        Beat b = member((state.thread_index() * 1'000 + i * 7) % 10'000);
        b.seen = {{"p", version}};  // up to date: no delta
        beats.push_back(std::move(b));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        auto ack = registry->beat_shared(beats[i]);
        benchmark::DoNotOptimize(ack);
        if (++i == beats.size()) i = 0;
    }
    per_thread(state, static_cast<double>(state.iterations()));
}
BENCHMARK(BM_refresh)->Threads(1)->Threads(4)->UseRealTime();

void BM_publish(benchmark::State& state) {
    const std::unique_ptr<Registry> registry = filled(10'000);
    Beat b = member(42);
    std::uint64_t n = 1;
    std::uint64_t version = registry->snapshot().at("p").version;
    for (auto _ : state) {
        b.publication = ++n;
        b.state = state_of(n);
        b.seen = {{"p", version}};
        auto ack = registry->beat_shared(b);
        version = ack.pools.at("p")->version;
        benchmark::DoNotOptimize(ack);
    }
    per_thread(state, static_cast<double>(state.iterations()));
}
BENCHMARK(BM_publish);

// One round: one change moves the pool, then 1,000 members holding the version
// `changes` steps back each beat once (a lease refresh) and get the delta.
template <bool Shared>
void BM_incremental(benchmark::State& state) {
    const std::uint64_t changes = static_cast<std::uint64_t>(state.range(0));
    const std::unique_ptr<Registry> registry = filled(10'000);
    std::vector<Beat> askers;
    for (std::uint64_t id = 5'000; id < 6'000; ++id) {
        Beat b = member(id);
        if (!Shared) b.watch.clear();  // the delta is built separately below
        askers.push_back(std::move(b));
    }
    Beat changer = member(0);
    changer.watch.clear();
    std::uint64_t n = 1, k = 0;
    // Prime the history so that each round's window spans `changes` distinct members.
    for (std::uint64_t i = 0; i < changes; ++i) {
        changer.id = k++ % 4'000;
        changer.publication = ++n;
        changer.state = state_of(n);
        registry->beat_shared(changer);
    }
    std::size_t cost_members = 0;
    for (auto _ : state) {
        changer.id = k++ % 4'000;
        changer.publication = ++n;
        changer.state = state_of(n);
        registry->beat_shared(changer);
        const std::uint64_t since = registry->snapshot().at("p").version - changes;
        for (Beat& b : askers) {
            b.seen = {{"p", since}};
            auto ack = registry->beat_shared(b);
            if constexpr (Shared) {
                cost_members = ack.pools.at("p")->changed.size();
                benchmark::DoNotOptimize(ack);
            } else {
                RegistryAccess::inspect(*registry, [&](const PoolTable& pools) {
                    auto built = std::make_shared<const murlo::proto::PoolDelta>(
                        pools.find("p")->second.build_delta(since).first);
                    cost_members = built->changed.size();
                    benchmark::DoNotOptimize(built);
                });
                benchmark::DoNotOptimize(ack);
            }
        }
    }
    state.counters["delta_members"] = static_cast<double>(cost_members);
    state.counters["ns_per_member"] = benchmark::Counter(static_cast<double>(state.iterations()) * askers.size(),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    per_thread(state, static_cast<double>(state.iterations()) * askers.size());
}
BENCHMARK_TEMPLATE(BM_incremental, true)->Name("BM_shared")->Arg(16)->Arg(64)->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_incremental, false)->Name("BM_alone")->Arg(16)->Arg(64)->Arg(256)->Unit(benchmark::kMicrosecond);

// The full delta is rebuilt because the member's own change steps the version first.
void BM_full(benchmark::State& state) {
    const std::unique_ptr<Registry> registry = filled(5'000);
    Beat b = member(7);
    std::uint64_t n = 1;
    murlo::proto::Buffer out;
    std::size_t bytes = 0;
    for (auto _ : state) {
        b.publication = ++n;
        b.state = state_of(n);
        auto ack = registry->beat_shared(b);
        out.clear();
        ack.serialize(out);
        bytes = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ack_bytes"] = static_cast<double>(bytes);
    per_thread(state, static_cast<double>(state.iterations()));
}
BENCHMARK(BM_full)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
