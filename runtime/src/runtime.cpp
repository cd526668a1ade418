// The scheduler: N named workers, each driving an io_context of its own, and
// one small pool of named threads for getaddrinfo that every one of those
// io_contexts holds as a service, so any task can look names up without a
// handle to the Runtime.

#include "murlo/runtime/runtime.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <netdb.h>
#include <sys/socket.h>

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>

#include "murlo/runtime/asio.hpp"
#include "kept.hpp"
#include "parked.hpp"
#include "wake.hpp"

namespace murlo::runtime {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace detail {

namespace {

void name_this_thread(const std::string& name) {
    if (name.empty()) return;
    // The kernel keeps 15 bytes and a terminator.
    std::string cut = name.substr(0, 15);
    pthread_setname_np(pthread_self(), cut.c_str());
}

// A write into a pipe or socket whose reader went away (the client's bell may
// ring from here) must fail with EPIPE rather than kill the whole process.
void block_sigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

struct FreeAddrinfo {
    void operator()(addrinfo* ai) const { ::freeaddrinfo(ai); }
};

Lookup resolve_now(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found_raw = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found_raw);
    // Released however the list below is left, a failed allocation included.
    std::unique_ptr<addrinfo, FreeAddrinfo> found(found_raw);
    if (rc != 0) {
        if (rc == EAI_SYSTEM) {
            int err = errno;
            return LookupError{rc, std::system_category().message(err)};
        }
        return LookupError{rc, ::gai_strerror(rc)};
    }
    std::vector<tcp::endpoint> out;
    for (addrinfo* ai = found.get(); ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        tcp::endpoint ep;
        if (ai->ai_addrlen > ep.capacity()) continue;
        std::memcpy(ep.data(), ai->ai_addr, ai->ai_addrlen);
        ep.resize(ai->ai_addrlen);
        ep.port(port);
        out.push_back(ep);
    }
    return out;
}

// A lookup that throws (memory running out while the list is built) fails like
// any other lookup instead of ending the process on a thread nobody waits on.
Lookup resolve_caught(const std::string& host, std::uint16_t port) {
    try {
        return resolve_now(host, port);
    } catch (const std::bad_alloc&) {
        return LookupError{EAI_MEMORY, ::gai_strerror(EAI_MEMORY)};
    } catch (const std::exception& e) {
        return LookupError{EAI_SYSTEM, e.what()};
    } catch (...) {
        return LookupError{EAI_SYSTEM, "unknown exception"};
    }
}

using LookupHandler = std::unique_ptr<Parked<error_code, Lookup>>;

}  // namespace

class BlockingPool;

namespace {

struct LookupJob {
    std::string host;
    std::uint16_t port = 0;
    const BlockingPool* pool = nullptr;  // whose io_context the handler resumes on
    LookupHandler handler;               // taken by whoever finishes the job first
};

}  // namespace

// Blocking threads: started on demand up to a small bound, named like the
// workers. One core serves every io_context of a runtime (a plain io_context
// gets one of its own). One mutex guards everything here.
struct BlockingCore {
    static constexpr std::size_t max_threads = 4;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<LookupJob>> queue;
    std::list<std::shared_ptr<LookupJob>> live;  // queued or running
    std::vector<std::thread> threads;
    std::size_t idle = 0;
    bool quit = false;  // threads end
    std::string name;

    static void run(std::shared_ptr<BlockingCore> core) {
        block_sigpipe();
        name_this_thread(core->name);
        std::unique_lock lock(core->mutex);
        for (;;) {
            ++core->idle;
            core->wake.wait(lock, [&] { return core->quit || !core->queue.empty(); });
            --core->idle;
            if (core->quit) return;
            auto job = std::move(core->queue.front());
            core->queue.pop_front();
            lock.unlock();
            Lookup result = resolve_caught(job->host, job->port);
            lock.lock();
            core->live.remove(job);
            // Posting only queues the handler; under the lock it cannot race
            // the io_context's shutdown, which takes every handler of its jobs.
            if (job->handler) std::exchange(job->handler, nullptr)->post({}, std::move(result));
        }
    }

    void cancel(const std::shared_ptr<LookupJob>& job) {
        std::lock_guard lock(mutex);
        if (!job->handler) return;
        std::erase(queue, job);
        live.remove(job);
        std::exchange(job->handler, nullptr)->post(asio::error::operation_aborted, Lookup{});
    }

    // Ends the threads; with `wait`, joins them (a lookup in progress is let finish).
    void stop(bool wait) {
        std::vector<std::thread> mine;
        {
            std::lock_guard lock(mutex);
            quit = true;
            mine = std::move(threads);
        }
        wake.notify_all();
        for (auto& t : mine) {
            if (wait && t.get_id() != std::this_thread::get_id())
                t.join();
            else
                t.detach();
        }
    }
};

namespace {

struct CancelLookup {
    std::weak_ptr<BlockingCore> core;
    std::shared_ptr<LookupJob> job;
    void operator()(asio::cancellation_type_t type) {
        if (type == asio::cancellation_type::none) return;
        if (auto c = core.lock()) c->cancel(job);
    }
};

}  // namespace

// The lookups of one io_context, run on a core's threads.
class BlockingPool : public asio::execution_context::service {
public:
    using key_type = BlockingPool;
    static asio::execution_context::id id;

    // A pool of its own, for an io_context outside any runtime.
    explicit BlockingPool(asio::execution_context& ctx)
        : service(ctx), core_(std::make_shared<BlockingCore>()), owns_core_(true) {}
    // One of a runtime's contexts: the runtime stops the shared core.
    BlockingPool(asio::execution_context& ctx, std::shared_ptr<BlockingCore> core)
        : service(ctx), core_(std::move(core)), owns_core_(false) {}
    ~BlockingPool() override {
        if (owns_core_) core_->stop(false);
    }

    template <class H>
    void submit(std::shared_ptr<LookupJob> job, H&& handler) {
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) slot.template emplace<CancelLookup>(CancelLookup{core_, job});
        LookupHandler h = park<error_code, Lookup>(std::forward<H>(handler));
        std::unique_lock lock(core_->mutex);
        if (core_->quit || closed_) {
            lock.unlock();
            h->post(asio::error::operation_aborted, Lookup{});
            return;
        }
        if (core_->idle == 0 && core_->threads.size() < BlockingCore::max_threads) {
            try {
                core_->threads.emplace_back(&BlockingCore::run, core_);
            } catch (const std::system_error& e) {
                if (core_->threads.empty()) {
                    lock.unlock();
                    h->post({}, LookupError{EAI_SYSTEM, e.code().message()});
                    return;
                }
                // The running threads will get to it.
            }
        }
        job->pool = this;
        job->handler = std::move(h);
        core_->queue.push_back(job);
        core_->live.push_back(job);
        lock.unlock();
        core_->wake.notify_one();
    }

    // The io_context is going: drop this context's parked handlers unrun.
    void shutdown() override {
        std::vector<LookupHandler> dropped;
        {
            std::lock_guard lock(core_->mutex);
            closed_ = true;
            auto mine = [this](const std::shared_ptr<LookupJob>& job) { return job->pool == this; };
            std::erase_if(core_->queue, mine);
            for (auto& job : core_->live)
                if (mine(job) && job->handler) dropped.push_back(std::move(job->handler));
            core_->live.remove_if(mine);
        }
        if (owns_core_) core_->stop(false);
        dropped.clear();
    }

private:
    std::shared_ptr<BlockingCore> core_;
    const bool owns_core_;
    bool closed_ = false;  // guarded by the core's mutex
};

asio::execution_context::id BlockingPool::id;

namespace {

// A worker's io_context. Its services can be shut down before any context of
// the runtime is destroyed: a task's frame on one worker may own objects of
// another (a socket, an executor counting work there).
class WorkerContext : public asio::io_context {
public:
    WorkerContext() : asio::io_context(1) {}
    void shut_down() { shutdown(); }
};

}  // namespace

// Marks an io_context as a runtime's worker and leads back to the runtime.
class WorkerOf : public asio::execution_context::service {
public:
    using key_type = WorkerOf;
    static asio::execution_context::id id;

    WorkerOf(asio::execution_context& ctx, RuntimeState* state = nullptr) : service(ctx), state(state) {}
    void shutdown() override {}

    // Outlives nothing: the state owns the context that owns this service.
    RuntimeState* const state;
};

asio::execution_context::id WorkerOf::id;

struct RuntimeState {
    std::string name;
    std::size_t worker_count = 0;
    // Filled before the threads start; cleared only once nothing runs on them.
    std::vector<std::unique_ptr<WorkerContext>> contexts;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> keep_running;
    std::shared_ptr<BlockingCore> lookups = std::make_shared<BlockingCore>();
    std::atomic<std::size_t> next{0};
    std::mutex mutex;  // guards threads; stopped is written under it
    std::vector<std::thread> threads;
    // Atomic so that executor() and make_strand() may read it without the
    // mutex: spawn calls executor() while holding it.
    std::atomic<bool> stopped{false};

    ~RuntimeState() { destroy_contexts(); }

    asio::io_context& next_context() {
        return *contexts[next.fetch_add(1, std::memory_order_relaxed) % contexts.size()];
    }

    static void work(std::shared_ptr<RuntimeState> st, asio::io_context* io) {
        block_sigpipe();
        name_this_thread(st->name);
        std::vector<asio::io_context*> peers;
        for (auto& context : st->contexts) peers.push_back(context.get());
        WorkerScope scope(*io, std::move(peers));
        for (;;) {
            try {
                io->run();
                return;
            } catch (...) {
                // A handler that threw ends only itself.
            }
        }
    }

    // Stops the workers; true when every thread was joined.
    bool stop(bool wait) {
        std::vector<std::thread> mine;
        {
            std::lock_guard lock(mutex);
            if (stopped) return false;
            stopped = true;
            mine = std::move(threads);
        }
        keep_running.clear();
        for (auto& io : contexts) io->stop();
        lookups->stop(wait);
        bool joined_all = wait;
        for (auto& t : mine) {
            if (wait && t.get_id() != std::this_thread::get_id()) {
                t.join();
            } else {
                t.detach();
                joined_all = false;
            }
        }
        return joined_all;
    }

    // Only once no thread runs any of the contexts. Every context's pending
    // work is destroyed before any context is: twice, since destroying a
    // frame may post to a context already shut down.
    void destroy_contexts() {
        keep_running.clear();
        for (int pass = 0; pass < 2; ++pass)
            for (auto& io : contexts) io->shut_down();
        contexts.clear();
    }
};

bool start_if_running(RuntimeState& state, const std::function<void()>& start) {
    // stop() sets `stopped` under this lock before the io_contexts can be
    // destroyed, so a task started here always lands in a live context.
    std::lock_guard lock(state.mutex);
    if (state.stopped) return false;
    start();
    return true;
}

}  // namespace detail

Runtime::Runtime(RuntimeOptions options) : state_(std::make_shared<detail::RuntimeState>()) {
    auto& st = *state_;
    st.name = std::move(options.thread_name);
    st.worker_count = options.workers ? options.workers : std::max(1u, std::thread::hardware_concurrency());
    st.lookups->name = st.name;
    for (std::size_t i = 0; i < st.worker_count; ++i) {
        auto& io = *st.contexts.emplace_back(std::make_unique<detail::WorkerContext>());
        asio::make_service<detail::WorkerOf>(io, &st);
        asio::make_service<detail::BlockingPool>(io, st.lookups);
        st.keep_running.emplace_back(io.get_executor());
    }
    try {
        std::lock_guard lock(st.mutex);
        for (auto& io : st.contexts) st.threads.emplace_back(&detail::RuntimeState::work, state_, io.get());
    } catch (...) {
        st.stop(true);
        throw;
    }
}

Runtime::~Runtime() {
    if (state_) shutdown();
}

std::size_t Runtime::workers() const { return state_ ? state_->worker_count : 0; }

namespace {

// The next worker of a runtime not shut down; its context may be gone once it is.
asio::io_context& live_context(const std::shared_ptr<detail::RuntimeState>& state) {
    if (!state || state->stopped.load()) throw std::logic_error("the runtime has been shut down");
    return state->next_context();
}

}  // namespace

asio::io_context::executor_type Runtime::executor() const { return live_context(state_).get_executor(); }

Runtime::Strand Runtime::make_strand() const { return asio::make_strand(live_context(state_).get_executor()); }

void Runtime::shutdown() {
    if (!state_) return;
    // With every thread joined nothing runs on the io_contexts any more:
    // destroy them here so the tasks they hold release what they own now.
    if (state_->stop(true)) state_->destroy_contexts();
}

void Runtime::shutdown_background() {
    if (state_) state_->stop(false);
}

void Runtime::abandon() {
    if (!state_) return;
    // Its threads do not exist in a forked child: nothing may join or destroy it.
    detail::keep_forever(std::move(state_));
}

asio::any_io_executor next_worker(const asio::any_io_executor& executor) {
    auto& ctx = asio::query(executor, asio::execution::context);
    if (!asio::has_service<detail::WorkerOf>(ctx)) return executor;
    detail::RuntimeState* state = asio::use_service<detail::WorkerOf>(ctx).state;
    if (!state || state->stopped.load()) return executor;
    return state->next_context().get_executor();
}

bool single_threaded(const asio::any_io_executor& executor) {
    return asio::has_service<detail::WorkerOf>(asio::query(executor, asio::execution::context));
}

asio::awaitable<Lookup> lookup_host(std::string host, std::uint16_t port) {
    auto ex = co_await asio::this_coro::executor;
    auto& pool = asio::use_service<detail::BlockingPool>(asio::query(ex, asio::execution::context));
    auto job = std::make_shared<detail::LookupJob>();
    job->host = std::move(host);
    job->port = port;
    auto [ec, result] = co_await asio::async_initiate<const TupleAwaitable&, void(error_code, Lookup)>(
        [&](auto handler) { pool.submit(job, std::move(handler)); }, tuple_awaitable);
    if (ec) throw boost::system::system_error(ec);
    co_return std::move(result);
}

}  // namespace murlo::runtime
