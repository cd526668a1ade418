// Protocol reading and writing speed: a typical beat, and an ack carrying one full
// delta of 5,000 members (about 1 MiB), read and written the way the two sides do.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "murlo/proto/json.hpp"
#include "murlo/proto/records.hpp"

namespace {

using namespace murlo::proto;

Value must_read(const std::string& text) {
    auto r = read_value(text);
    if (!r.ok()) throw std::runtime_error(r.error().text());
    return std::move(r).value();
}

// 8 watched pools, all seen, and a state object of about 200 bytes.
Beat typical_beat() {
    Beat b;
    b.pool = "inference-workers";
    b.slot = 17;
    b.id = 0x9e3779b97f4a7c15ull;
    b.incarnation = 1765238400123ull;
    b.publication = 42;
    b.policy = "spread";
    b.size = 64;
    b.url = "http://10.1.17.23:8080/rpc";
    b.state =
        must_read(R"({"load":0.4375,"queue":12,"zone":"eu-west-1b","model":"resnet50-v1.5","gpus":[0,1,2,3],)"
                  R"("warm":true,"build":"2025.12.01-7f3a9c2","limits":{"batch":32,"tokens":4096},"owner":"team-ml"})");
    b.ready = true;
    b.methods = {"predict", "health", "stats"};
    for (int i = 0; i < 8; ++i) {
        const std::string name = "pool-" + std::to_string(i) + "-service";
        b.watch.push_back(name);
        b.seen[name] = 1000 + static_cast<std::uint64_t>(i) * 37;
    }
    b.hold_ms = 25000;
    return b;
}

// One full delta of 5,000 members with urls and small states.
std::shared_ptr<const PoolDelta> big_delta() {
    auto d = std::make_shared<PoolDelta>();
    d->version = 123456;
    d->policy = "spread";
    d->methods = {"predict", "health"};
    d->size = 5000;
    d->full = true;
    d->changed.reserve(5000);
    for (std::uint64_t i = 0; i < 5000; ++i) {
        Member m;
        m.id = 0x100000000ull + i * 7919;
        m.slot = i;
        m.incarnation = 1765238400000ull + i;
        m.url = "http://10.2." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ":8080/rpc/worker-" +
                std::to_string(i);
        m.state =
            must_read(R"({"load":0.)" + std::to_string(1000 + i % 9000) + R"(,"queue":)" + std::to_string(i % 97) +
                      R"(,"zone":"eu-west-1)" + std::string(1, static_cast<char>('a' + i % 3)) +
                      R"(","tags":["gpu","fp16"],"build":"7f3a9c2"})");
        m.ready = i % 11 != 0;
        d->roster ^= m.roster_hash();
        d->changed.push_back(std::move(m));
    }
    return d;
}

using SharedPools = std::vector<std::pair<std::string, std::shared_ptr<const PoolDelta>>>;

void write_ack(Buffer& out, const SharedPools& pools) {
    write_shared_ack(out, 1765238400000000001ull, 2, "0.17.0", 10000, true, std::nullopt, pools);
}

const SharedPools& ack_pools() {
    static const SharedPools pools{{"inference-workers", big_delta()}};
    return pools;
}

const std::string& ack_text() {
    static const std::string text = [] {
        Buffer out;
        write_ack(out, ack_pools());
        return out;
    }();
    return text;
}

const std::string& beat_text() {
    static const std::string text = [] {
        Buffer out;
        typical_beat().serialize(out);
        return out;
    }();
    return text;
}

void BM_ReadBeat(benchmark::State& state) {
    const std::string& text = beat_text();
    for (auto _ : state) {
        auto r = read_beat(text);
        if (!r.ok()) state.SkipWithError(r.error().text().c_str());
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["doc_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ReadBeat);

void BM_WriteBeat(benchmark::State& state) {
    const Beat beat = typical_beat();
    Buffer out;
    for (auto _ : state) {
        out.clear();
        beat.serialize(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_WriteBeat);

void BM_ReadAck1MiB(benchmark::State& state) {
    const std::string& text = ack_text();
    for (auto _ : state) {
        auto r = read_beat_ack(text);
        if (!r.ok()) state.SkipWithError(r.error().text().c_str());
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["doc_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ReadAck1MiB)->Unit(benchmark::kMillisecond);

// Into a buffer whose capacity is kept, as a connection's output buffer is.
void BM_WriteAck1MiB(benchmark::State& state) {
    const SharedPools& pools = ack_pools();
    Buffer out;
    for (auto _ : state) {
        out.clear();
        write_ack(out, pools);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_WriteAck1MiB)->Unit(benchmark::kMillisecond);

// Into a fresh buffer each time, growing as it goes.
void BM_WriteAck1MiBFreshBuffer(benchmark::State& state) {
    const SharedPools& pools = ack_pools();
    std::size_t size = 0;
    for (auto _ : state) {
        Buffer out;
        write_ack(out, pools);
        size = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_WriteAck1MiBFreshBuffer)->Unit(benchmark::kMillisecond);

// The machine's reference in the same run: copying the same bytes.
void BM_CopyAck1MiB(benchmark::State& state) {
    const std::string& text = ack_text();
    std::string out(text.size(), '\0');
    for (auto _ : state) {
        std::memcpy(out.data(), text.data(), text.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_CopyAck1MiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
