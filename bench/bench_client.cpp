// The client's pool cache at 5,000 members (10% not ready): member JSON first and
// repeated, id lists, choice, field digests, and applying full and one-member deltas.
// Baseline: a plain copy of a string as long as the members' JSON, in the same run.
#include <benchmark/benchmark.h>

#if MURLO_CLIENT_BEAT_LINKABLE
#include <memory>
#include <string>

#include "murlo/client/beat/shared.hpp"

using namespace murlo::client::beat;
using murlo::proto::BeatAck;
using murlo::proto::Member;
using murlo::proto::PoolDelta;

namespace {

constexpr std::uint64_t kMembers = 5000;

Member member(std::uint64_t id, std::uint64_t incarnation) {
    Member m;
    m.id = 100000 + id;
    m.incarnation = incarnation;
    m.slot = id % 512;
    m.ready = id % 10 != 0;
    m.url = "http://10.0." + std::to_string(id / 250) + "." + std::to_string(id % 250) + ":8000";
    // Entries appended one by one: GCC 12 at -O3 takes the temporaries of a
    // braced list of variants for uninitialised (-Wmaybe-uninitialized).
    murlo::proto::Object entries;
    entries.reserve(6);
    entries.emplace_back("zone", id % 3 == 0 ? "eu-west-1a" : "eu-west-1b");
    entries.emplace_back("model", "llama-3-70b-instruct");
    entries.emplace_back("load", static_cast<double>(id % 100) / 100.0);
    entries.emplace_back("queue", std::uint64_t{id % 17});
    entries.emplace_back("gpu", "h100");
    entries.emplace_back("build", "2024.11.3-rc2");
    m.state = Value::object(std::move(entries));
    return m;
}

PoolDelta full_delta(std::uint64_t version) {
    PoolDelta d;
    d.version = version;
    d.policy = "spread";
    d.full = true;
    for (std::uint64_t i = 0; i < kMembers; ++i) d.changed.push_back(member(i, 1));
    return d;
}

BeatAck ack_of(PoolDelta d) {
    BeatAck a;
    a.epoch = 1;
    a.accepted = true;
    a.pools.emplace("p", std::move(d));
    return a;
}

struct Fixture {
    std::shared_ptr<Shared> shared =
        std::make_shared<Shared>("http://r", "p", 1, 1, "spread", std::nullopt, std::nullopt, std::nullopt,
                                 std::vector<std::string>{}, false, 50);
    Fixture() { shared->apply(ack_of(full_delta(1))); }
    // The benchmarks run on one thread: the pool is used outside the cache's lock.
    CachedPool& pool() { return const_cast<CachedPool&>(shared->cache.lock_shared()->at("p")); }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_CopyBaseline(benchmark::State& state) {
    const std::string text = fixture().pool().serialized(false).json;
    for (auto _ : state) {
        std::string copy = text;
        benchmark::DoNotOptimize(copy.data());
    }
    state.counters["bytes"] = static_cast<double>(text.size());
}

void BM_SerializedFirst(benchmark::State& state) {
    auto& pool = fixture().pool();
    for (auto _ : state) {
        state.PauseTiming();
        pool.drop_derived();
        state.ResumeTiming();
        auto snap = pool.serialized(false);
        benchmark::DoNotOptimize(snap.json.data());
    }
}

void BM_SerializedRepeated(benchmark::State& state) {
    auto& pool = fixture().pool();
    auto first = pool.serialized(false);
    state.counters["bytes"] = static_cast<double>(first.json.size());
    state.counters["kept"] = pool.snapshots.lock()->at(0).has_value() ? 1 : 0;
    for (auto _ : state) {
        auto snap = pool.serialized(false);
        benchmark::DoNotOptimize(snap.json.data());
    }
}

void BM_Ids(benchmark::State& state) {
    auto& pool = fixture().pool();
    const bool ready = state.range(0) != 0;
    for (auto _ : state) benchmark::DoNotOptimize(pool.ids(ready).data());
}

void BM_IdsFirst(benchmark::State& state) {
    auto& pool = fixture().pool();
    const bool ready = state.range(0) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        pool.reset_ids(true, true);
        state.ResumeTiming();
        benchmark::DoNotOptimize(pool.ids(ready).data());
    }
}

void BM_ChooseUnfiltered(benchmark::State& state) {
    auto& pool = fixture().pool();
    std::uint64_t rng = 42;
    const Value filter = Value::object({});
    for (auto _ : state) benchmark::DoNotOptimize(pool.choose(filter, true, rng));
}

void BM_ChooseOneKeyFilter(benchmark::State& state) {
    auto& pool = fixture().pool();
    std::uint64_t rng = 42;
    const Value filter = Value::object({{"zone", Value("eu-west-1a")}});
    for (auto _ : state) benchmark::DoNotOptimize(pool.choose(filter, true, rng));
}

const std::vector<std::string> kTwoFields{"ready", "zone"};

void BM_FieldDigestFirst(benchmark::State& state) {
    auto& pool = fixture().pool();
    for (auto _ : state) {
        state.PauseTiming();
        pool.drop_derived();
        state.ResumeTiming();
        benchmark::DoNotOptimize(pool.field_digest(kTwoFields));
    }
}

void BM_FieldDigestRepeated(benchmark::State& state) {
    auto& pool = fixture().pool();
    pool.field_digest(kTwoFields);
    for (auto _ : state) benchmark::DoNotOptimize(pool.field_digest(kTwoFields));
}

void BM_ApplyFull(benchmark::State& state) {
    Fixture f;
    const BeatAck ack = ack_of(full_delta(1));  // an equal version is applied every time
    for (auto _ : state) benchmark::DoNotOptimize(f.shared->apply(ack));
}

void BM_ApplyOneMember(benchmark::State& state) {
    Fixture f;
    std::uint64_t version = 1;
    std::uint64_t round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        PoolDelta d;
        d.version = ++version;
        d.policy = "spread";
        Member m = member(round % kMembers, 1);
        m.ready = round % 2 == 0;  // a readiness flip each time
        ++round;
        d.changed.push_back(std::move(m));
        const BeatAck ack = ack_of(std::move(d));
        state.ResumeTiming();
        benchmark::DoNotOptimize(f.shared->apply(ack));
    }
}

}  // namespace

BENCHMARK(BM_CopyBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SerializedFirst)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SerializedRepeated)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdsFirst)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Ids)->Arg(0)->Arg(1);
BENCHMARK(BM_ChooseUnfiltered);
BENCHMARK(BM_ChooseOneKeyFilter)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FieldDigestFirst)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FieldDigestRepeated);
BENCHMARK(BM_ApplyFull)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ApplyOneMember)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
#else
#include <cstdio>
// The client library cannot link before the runtime library lands.
int main() {
    std::puts("bench_client: skipped, the runtime library is not built yet");
    return 0;
}
#endif
