#pragma once
// The multi-threaded scheduler every murlo process runs its tasks on: N
// workers, each a single-threaded io_context driven by one named thread, plus
// a few named threads for blocking name resolution.
//
// A task is placed on one worker when it starts and stays there for its whole
// life, so its work never hops threads and the operations it races (a || b)
// never run on two threads at once. Only posts to another worker's executor
// (a Notify waking a waiter elsewhere, notify_later's shares, next_worker)
// cross threads.
// Shared by a std::shared_ptr-held state: threads left running by
// shutdown_background() keep it alive until they have stopped.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>

namespace murlo::runtime {

namespace detail {
struct RuntimeState;
// Runs `start` under the runtime's lock unless the runtime has been shut down;
// false when it has (the io_context may be gone, so nothing may touch it).
bool start_if_running(RuntimeState& state, const std::function<void()>& start);
}  // namespace detail

struct RuntimeOptions {
    std::size_t workers = 0;            // 0: one per CPU
    std::string thread_name = "murlo";  // every thread the runtime starts; cut to 15 bytes
};

class Runtime {
public:
    using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;

    // Starts the workers at once; throws std::system_error when a thread
    // cannot be created (nothing is left running then).
    explicit Runtime(RuntimeOptions options = {});
    // Shuts down and waits, unless already shut down or abandoned.
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    std::size_t workers() const;
    // The executor of the next worker (round robin), or a new strand on it:
    // what is posted there runs on that worker's thread only. After shutdown
    // (or abandon) both throw std::logic_error: the io_contexts may be gone,
    // and asking for them then is an internal failure.
    boost::asio::io_context::executor_type executor() const;
    Strand make_strand() const;

    // Runs a task detached on the next worker: `task` is an awaitable<void>
    // or a callable returning one (its captures then live as long as the
    // task). An exception ends the task and nothing else.
    // After shutdown or abandon the task is dropped unstarted.
    template <class Task>
    void spawn(Task&& task) {
        if (!state_) return;
        detail::start_if_running(
            *state_, [&] { boost::asio::co_spawn(executor(), std::forward<Task>(task), boost::asio::detached); });
    }

    // Runs a task to completion on the next worker and blocks the calling
    // thread until it ends; its result or exception comes back here. Never
    // call it from a worker: the task may be placed on the very thread it
    // blocks. A runtime shut down meanwhile drops the task, and the caller
    // gets std::future_error (broken promise), as does a call after shutdown
    // or abandon.
    template <class T>
    T block_on(boost::asio::awaitable<T> task) {
        std::promise<T> done;
        auto result = done.get_future();
        const bool started =
            state_ && detail::start_if_running(*state_, [&] {
                boost::asio::co_spawn(executor(), deliver(std::move(task), std::move(done)), boost::asio::detached);
            });
        if (!started) throw std::future_error(std::future_errc::broken_promise);
        return result.get();
    }

    // Stops the workers wherever their tasks wait and joins every thread;
    // pending tasks are destroyed. From a worker, that one thread is left to
    // finish on its own.
    void shutdown();
    // Stops the workers without waiting for them: the threads are detached and
    // hold the runtime's state until they have stopped.
    void shutdown_background();
    // Lets go of everything without stopping or releasing it: for a forked
    // child, whose copy of the threads does not exist. The state is leaked.
    void abandon();

private:
    template <class T>
    static boost::asio::awaitable<void> deliver(boost::asio::awaitable<T> task, std::promise<T> done) {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await std::move(task);
                done.set_value();
            } else {
                done.set_value(co_await std::move(task));
            }
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    }

    std::shared_ptr<detail::RuntimeState> state_;
};

// The executor of the next worker (round robin) of the runtime whose worker
// runs `executor`, for placing new work elsewhere without a handle to the
// Runtime; `executor` itself when its context is not a running Runtime's (a
// plain io_context, or a runtime shut down). `executor` must not be empty.
boost::asio::any_io_executor next_worker(const boost::asio::any_io_executor& executor);

// Whether `executor`'s context is a runtime's worker, run by one thread only:
// work placed there needs no strand.
bool single_threaded(const boost::asio::any_io_executor& executor);

// A failed lookup: the resolver's code (EAI_*) and its own text.
struct LookupError {
    int code = 0;
    std::string text;
};

using Lookup = std::variant<std::vector<boost::asio::ip::tcp::endpoint>, LookupError>;

// getaddrinfo(host) for stream sockets on blocking threads: the runtime's
// (shared by its workers, named like them, ended with it) when the current
// coroutine runs on one, else a few of its io_context's own. Each address
// carries `port`, in the resolver's order. Cancellable: a cancelled lookup
// ends with operation_aborted at once and its result is dropped when it comes.
boost::asio::awaitable<Lookup> lookup_host(std::string host, std::uint16_t port);

}  // namespace murlo::runtime
