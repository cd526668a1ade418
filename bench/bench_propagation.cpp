// Propagation through a real registry on loopback: one publisher publishes a
// state and nudges; each watching client's bell wakes a reader that finds the
// new state in that client's cache. Latency is taken from the monotonic clock
// (system-wide, so it measures across processes): the publisher writes its
// reading into the state itself, the watchers subtract it when they see it.
// 1, 100 and 1,000 watchers (100 per process); per change, the last watcher
// to see it counts. Also the registry's CPU and RSS with 1,000 idle clients,
// and the machine's own floor in the same run: a one-byte round trip between
// two processes over loopback TCP, which crosses processes twice as a change does.
//
// Usage: bench_propagation [CHANGES] [--no-idle]   (default 1000; --no-idle skips
// the 10 s idle measurement; env MURLO_BUILD locates the registry driver,
// default: next to this binary). Unknown flags are ignored.

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <shared_mutex>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process_support.hpp"
#include "murlo/client/beat/lifecycle.hpp"
#include "murlo/client/beat/shared.hpp"
#include "murlo/runtime/notify.hpp"

using namespace murlo::client::beat;
using murlo::proto::Value;

namespace {

using murlo::bench::read_line;
using murlo::bench::usage;

constexpr std::uint64_t kTtlMs = 10'000;  // hold 2,500 ms
constexpr std::uint64_t kPublisher = 1;
constexpr int kPerProcess = 100;

std::uint64_t now_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

void write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

std::unique_ptr<Client> make_client(const std::string& endpoint, const std::string& pool, std::uint64_t id) {
    // coalesce_ms 0: changes are paced by the benchmark, not by the window.
    return std::make_unique<Client>(endpoint, pool, id, 1, "bench", std::nullopt, std::nullopt, std::nullopt,
                                    std::nullopt, false, 0);
}

void watch(Client& c, const std::string& pool) { c.shared->watch(std::span<const std::string>(&pool, 1)); }

// The publisher's (seq, t0) as this client's cache holds it.
std::pair<std::uint64_t, std::uint64_t> seen_state(Shared& s) {
    return s
        .with_pool("p",
                   [](const CachedPool& pool) -> std::pair<std::uint64_t, std::uint64_t> {
                       auto m = pool.members.find(kPublisher);
                       if (m == pool.members.end()) return {0, 0};
                       auto number = [&](const char* key) -> std::uint64_t {
                           const Value* v = m->second.state.find(key);
                           const auto* n = v ? std::get_if<std::uint64_t>(&v->v) : nullptr;
                           return n ? *n : 0;
                       };
                       return {number("seq"), number("t0")};
                   })
        .value_or(std::pair<std::uint64_t, std::uint64_t>{0, 0});
}

// A watcher process: `count` clients watching "p", each ringing a pipe of its
// own, one thread polling them all. Reports "ready", then per change
// "seq max_latency_ns" once all its clients saw it.
int watcher_main(const std::string& endpoint, int count, std::uint64_t id_base, int report) {
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<pollfd> bells;
    for (int i = 0; i < count; ++i) {
        int bell[2];
        if (::pipe2(bell, O_NONBLOCK | O_CLOEXEC) != 0) return 1;
        auto c = make_client(endpoint, "w", id_base + static_cast<std::uint64_t>(i));
        watch(*c, "p");
        c->shared->add_wake_fd(bell[1]);
        if (!start(*c, 10'000)) return 2;
        clients.push_back(std::move(c));
        bells.push_back({bell[0], POLLIN, 0});
    }
    // Ready once every client has the publisher in its cache.
    for (;;) {
        bool all = true;
        for (auto& c : clients) {
            all = all &&
                  c->shared->with_pool("p", [](const CachedPool& pool) { return pool.members.count(kPublisher) == 1; })
                      .value_or(false);
        }
        if (all) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    write_all(report, "ready\n");
    std::vector<std::uint64_t> last(clients.size(), 0);
    std::map<std::uint64_t, std::pair<std::size_t, std::uint64_t>> seen;  // seq -> (clients, slowest)
    std::uint64_t reported = 0;
    char drain[256];
    for (;;) {
        if (::poll(bells.data(), bells.size(), 1000) <= 0) continue;
        const std::uint64_t t = now_ns();
        for (std::size_t i = 0; i < bells.size(); ++i) {
            if (!(bells[i].revents & POLLIN)) continue;
            while (::read(bells[i].fd, drain, sizeof drain) > 0) {
            }
            auto [seq, t0] = seen_state(*clients[i]->shared);
            if (seq > last[i]) {
                last[i] = seq;
                auto& [n, worst] = seen[seq];
                ++n;
                worst = std::max(worst, t - t0);
            }
        }
        for (auto it = seen.find(reported + 1); it != seen.end() && it->second.first == clients.size();
             it = seen.find(reported + 1)) {
            ++reported;
            write_all(report, std::to_string(reported) + " " + std::to_string(it->second.second) + "\n");
            seen.erase(it);
        }
    }
}

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child start_registry(const std::string& driver) {
    const auto started = murlo::bench::start_registry(driver, kTtlMs);
    return {started.pid, started.out};
}

Child start_watchers(const std::string& self, const std::string& endpoint, int count, std::uint64_t id_base) {
    int p[2];
    if (::pipe(p) != 0) std::exit(1);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        const std::string n = std::to_string(count), base = std::to_string(id_base), fd = std::to_string(p[1]);
        ::execl(self.c_str(), self.c_str(), "--watcher", endpoint.c_str(), n.c_str(), base.c_str(), fd.c_str(),
                nullptr);
        ::_exit(127);
    }
    ::close(p[1]);
    return {pid, p[0]};
}

void stop(Child& c) {
    if (c.pid > 0) {
        ::kill(c.pid, SIGKILL);
        ::waitpid(c.pid, nullptr, 0);
    }
    if (c.out >= 0) ::close(c.out);
    c = {};
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// One-byte ping-pong with a forked echo process over loopback TCP (no Nagle),
// `count` round trips; prints p50 and p99 in ms.
void loopback_baseline(int count) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        std::exit(1);
    const pid_t echo = ::fork();
    if (echo == 0) {
        const int s = ::accept(listener, nullptr, nullptr);
        const int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char c;
        while (::read(s, &c, 1) == 1)
            if (::write(s, &c, 1) != 1) break;
        ::_exit(0);
    }
    ::close(listener);
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::exit(1);
    std::vector<double> ms;
    char c = 'x';
    for (int i = 0; i < count; ++i) {
        const std::uint64_t t0 = now_ns();
        if (::write(s, &c, 1) != 1 || ::read(s, &c, 1) != 1) std::exit(1);
        ms.push_back(static_cast<double>(now_ns() - t0) / 1e6);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // paced like the changes: wake-ups from sleep
    }
    ::close(s);
    ::waitpid(echo, nullptr, 0);
    std::printf("baseline, loopback TCP round trip between two processes, %d trips: p50 %.3f ms, p99 %.3f ms\n", count,
                percentile(ms, 0.50), percentile(ms, 0.99));
    std::fflush(stdout);
}

void run_config(const std::string& self, const std::string& driver, int watchers, int changes, bool idle) {
    Child registry = start_registry(driver);
    const std::string endpoint = "http://" + read_line(registry.out);
    auto publisher = make_client(endpoint, "p", kPublisher);
    watch(*publisher, "quiet");  // held beats: nothing it watches changes
    start(*publisher, 10'000);

    std::vector<Child> procs;
    for (int done = 0; done < watchers; done += kPerProcess) {
        const int n = std::min(kPerProcess, watchers - done);
        procs.push_back(start_watchers(self, endpoint, n, 1000 + static_cast<std::uint64_t>(done)));
    }
    for (auto& p : procs)
        if (read_line(p.out) != "ready") {
            std::fprintf(stderr, "a watcher process failed to start\n");
            std::exit(1);
        }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // everyone settles into held beats

    if (watchers >= 1000 && idle) {
        const auto [t0, rss0] = usage(registry.pid);
        const auto wall0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const auto [t1, rss1] = usage(registry.pid);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        const double core = static_cast<double>(t1 - t0) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / secs;
        std::printf("registry with %d idle clients holding beats (lease %llu ms): %.1f%% of a core, RSS %.1f MiB\n",
                    watchers + 1, static_cast<unsigned long long>(kTtlMs), 100.0 * core,
                    static_cast<double>(rss1) / 1024.0);
    }

    std::vector<double> last_ms;
    last_ms.reserve(static_cast<std::size_t>(changes));
    for (int k = 1; k <= changes; ++k) {
        publisher->shared->publish_state(
            Value::object({{"seq", Value(static_cast<std::uint64_t>(k))}, {"t0", Value(now_ns())}}), std::nullopt);
        double worst = 0;
        for (auto& p : procs) {
            std::istringstream line(read_line(p.out));
            std::uint64_t seq = 0, ns = 0;
            line >> seq >> ns;
            if (seq != static_cast<std::uint64_t>(k)) {
                std::fprintf(stderr, "watcher reported %llu for change %d\n", static_cast<unsigned long long>(seq), k);
                std::exit(1);
            }
            worst = std::max(worst, static_cast<double>(ns) / 1e6);
        }
        last_ms.push_back(worst);
        // A short gap: the watchers' next held beats are registered again.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::printf("%5d watcher%s, %d changes: last watcher p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", watchers,
                watchers == 1 ? " " : "s", changes, percentile(last_ms, 0.50), percentile(last_ms, 0.99),
                *std::max_element(last_ms.begin(), last_ms.end()));
    std::fflush(stdout);
    leave(*publisher);
    for (auto& p : procs) stop(p);
    stop(registry);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::string(argv[1]) == "--watcher")
        return watcher_main(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10), std::atoi(argv[5]));
    ::signal(SIGPIPE, SIG_IGN);
    int changes = 1000;
    bool idle = true;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') changes = std::max(1, std::atoi(argv[i]));
        if (std::string(argv[i]) == "--no-idle") idle = false;
    }
    const std::string self = "/proc/self/exe";
    const std::string driver = murlo::bench::driver_path();
    if (::access(driver.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "bench_propagation: %s is not built\n", driver.c_str());
        return 1;
    }
    std::printf("propagation: publish + nudge until each watcher's bell finds the change in its cache\n");
    std::printf("goals: 1 watcher p50 < 0.3 ms, p99 < 0.75 ms; last of 1,000 p50 < 2 ms, p99 < 5 ms\n");
    loopback_baseline(changes);
    for (int watchers : {1, 100, 1000}) run_config(self, driver, watchers, changes, idle);
    return 0;
}
