// Baselines for the registry's in-process figures: the least any store of member
// records does per beat, on the same beats as bench_registry's refresh and publish.
//   store_refresh   under a mutex, find one of 10,000 records by id, compare the
//                   beat's url, state and readiness with it, renew its deadline
//   store_publish   the same for a changed state, then copy the state into the
//                   record, step the version and keep a copy of the member as the change

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_beats.hpp"
#include "murlo/proto/records.hpp"

namespace {

using murlo::proto::Beat;
using murlo::proto::Member;
using murlo::proto::Value;
using Clock = std::chrono::steady_clock;

using murlo::bench::member;
using murlo::bench::state_of;

struct Record {
    Member member;
    Clock::time_point deadline;
};

struct Store {
    std::mutex mutex;
    std::unordered_map<std::uint64_t, Record> records;
    std::uint64_t version = 0;
    std::vector<Member> changes;

    explicit Store(std::uint64_t members) {
        for (std::uint64_t id = 0; id < members; ++id) {
            const Beat b = member(id);
            records[id] = Record{Member{b.id, b.slot, b.incarnation, b.url, b.state, b.ready}, Clock::now()};
        }
    }

    // True when the beat changed the record.
    bool beat(const Beat& b) {
        std::lock_guard lock(mutex);
        Record& r = records.at(b.id);
        r.deadline = Clock::now() + std::chrono::seconds(10);
        if (r.member.url == b.url && r.member.ready == b.ready && r.member.state == b.state) return false;
        r.member.url = b.url;
        r.member.ready = b.ready;
        r.member.state = b.state;
        ++version;
        if (changes.size() == 1024) changes.clear();
        changes.push_back(r.member);
        return true;
    }
};

void BM_store_refresh(benchmark::State& state) {
    Store store(10'000);
    std::vector<Beat> beats;
    for (std::uint64_t i = 0; i < 1'000; ++i) beats.push_back(member((i * 7) % 10'000));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.beat(beats[i]));
        if (++i == beats.size()) i = 0;
    }
}
BENCHMARK(BM_store_refresh);

void BM_store_publish(benchmark::State& state) {
    Store store(10'000);
    Beat b = member(42);
    std::uint64_t n = 1;
    for (auto _ : state) {
        b.publication = ++n;
        b.state = state_of(n);
        benchmark::DoNotOptimize(store.beat(b));
    }
}
BENCHMARK(BM_store_publish);

}  // namespace

BENCHMARK_MAIN();
