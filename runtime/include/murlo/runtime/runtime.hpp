#pragma once
// The multi-threaded scheduler every murlo process runs its tasks on: one
// io_context driven by N named worker threads, plus a few named threads for
// blocking name resolution.
//
// Every task spawned here, and every block_on task, runs on a strand of its
// own, so the operations it races (a || b) never run on two threads at once.
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
}

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
    // The workers' executor, or a new strand on it. After shutdown (or
    // abandon) both throw std::logic_error: the io_context may be gone, and
    // asking for it then is an internal failure.
    boost::asio::io_context::executor_type executor() const;
    Strand make_strand() const;

    // Runs a task detached on a new strand: `task` is an awaitable<void> or a
    // callable returning one (its captures then live as long as the task).
    // An exception ends the task and nothing else.
    // After shutdown or abandon the task is dropped unstarted.
    template <class Task>
    void spawn(Task&& task)
    {
        if (!state_)
            return;
        detail::start_if_running(*state_, [&] {
            boost::asio::co_spawn(make_strand(), std::forward<Task>(task), boost::asio::detached);
        });
    }

    // Runs a task to completion on the workers and blocks the calling thread
    // until it ends; its result or exception comes back here. Never call it
    // from a worker. A runtime shut down meanwhile drops the task, and the
    // caller gets std::future_error (broken promise), as does a call after
    // shutdown or abandon.
    template <class T>
    T block_on(boost::asio::awaitable<T> task)
    {
        std::promise<T> done;
        auto result = done.get_future();
        const bool started = state_ && detail::start_if_running(*state_, [&] {
            boost::asio::co_spawn(make_strand(), deliver(std::move(task), std::move(done)), boost::asio::detached);
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
    static boost::asio::awaitable<void> deliver(boost::asio::awaitable<T> task, std::promise<T> done)
    {
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

// A failed lookup: the resolver's code (EAI_*) and its own text.
struct LookupError {
    int code = 0;
    std::string text;
};

using Lookup = std::variant<std::vector<boost::asio::ip::tcp::endpoint>, LookupError>;

// getaddrinfo(host) for stream sockets on the blocking threads of the current
// coroutine's io_context (named like the workers when it is a Runtime's),
// each address carrying `port`, in the resolver's order. Cancellable: a
// cancelled lookup ends with operation_aborted at once and its result is
// dropped when it comes.
boost::asio::awaitable<Lookup> lookup_host(std::string host, std::uint16_t port);

}  // namespace murlo::runtime
