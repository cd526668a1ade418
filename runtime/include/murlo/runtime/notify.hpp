#pragma once
// Wake-one notification: notify_one() wakes exactly one waiter or, when none
// waits, stores a single permit that ends the next wait at once. Further
// notifications while a permit is stored add nothing; none is lost.
// Shared by std::shared_ptr; the registry holds it by std::weak_ptr.

#include <memory>
#include <vector>

#include <boost/asio/awaitable.hpp>

namespace murlo::runtime {

namespace detail {
struct NotifyState;
}

class Notify {
public:
    Notify();
    ~Notify();
    Notify(const Notify&) = delete;
    Notify& operator=(const Notify&) = delete;

    // Safe from any thread, inside or outside the runtime.
    void notify_one();
    // Takes a stored permit without waiting; true when there was one.
    bool try_take();
    // Completes once a permit is handed to this waiter. Cancellable through the
    // coroutine's cancellation slot (so it can be raced against a timer); a waiter
    // cancelled after it was handed a permit passes the permit on, and its wait
    // ends with operation_aborted. A race (wait() || timer) on a multi-threaded
    // executor must run on a strand: the race cancels its loser from whichever
    // thread finished first.
    boost::asio::awaitable<void> wait();

    // For the fork handlers of the signal's owner. lock_for_fork holds the
    // signal's lock across fork(), so that the child's copy is not taken
    // mid-change; unlock_after_fork lets go of it in the parent. In the child,
    // renew_after_fork starts the signal afresh with the stored permit, if
    // any, and no waiters: those were the parent's tasks, which do not exist
    // there and would swallow the next notifications. The old state is kept
    // for good, not destroyed: what its waiters own belongs to the parent's
    // runtime.
    void lock_for_fork();
    void unlock_after_fork();
    void renew_after_fork();

private:
    std::shared_ptr<detail::NotifyState> state_;
};

// Notifies every handle still alive, and empties `handles`. On a runtime's
// worker thread the notifications go out after the work already queued on
// that worker (a change's own answer goes first), a slice per turn; on any
// other thread at once.
void notify_later(std::vector<std::weak_ptr<Notify>>& handles);

}  // namespace murlo::runtime
