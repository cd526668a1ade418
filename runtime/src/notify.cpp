// Wake-one notification. One mutex guards the permit and the queue of waiters;
// completions are always posted to the waiter's own executor after the mutex
// is released, so no handler ever runs under the lock.

#include "murlo/runtime/notify.hpp"

#include <list>
#include <mutex>
#include <utility>

#include <boost/asio/append.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace murlo::runtime {

namespace asio = boost::asio;
using boost::system::error_code;

namespace detail {

namespace {

enum class Stage {
    waiting,    // queued, no permit yet
    handed,     // a permit was given; the completion is on its way
    consumed,   // the coroutine resumed and kept the permit
    returned,   // cancelled after being handed: the permit went back
    cancelled,  // cancelled while queued
};

// The parked coroutine's completion handler, type-erased. It also keeps the
// waiter's executor busy so its run loop does not return while parked here.
struct ParkedHandler {
    virtual ~ParkedHandler() = default;
    // Resumes the waiter on its own executor; called without the lock.
    virtual void post(error_code ec) = 0;
};

template <class H>
struct ParkedHandlerOf final : ParkedHandler {
    explicit ParkedHandlerOf(H&& h)
        : handler(std::move(h)),
          work(asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked))
    {
    }
    void post(error_code ec) override { asio::post(work, asio::append(std::move(handler), ec)); }

    H handler;
    decltype(asio::prefer(asio::get_associated_executor(std::declval<H&>()),
                          asio::execution::outstanding_work.tracked)) work;
};

using Handler = std::unique_ptr<ParkedHandler>;

struct Waiter {
    Stage stage = Stage::waiting;
    Handler handler;
};

void complete(Handler h, error_code ec) { h->post(ec); }

}  // namespace

struct NotifyState {
    std::mutex mutex;
    bool permit = false;
    std::list<std::shared_ptr<Waiter>> waiters;

    void notify_one()
    {
        std::shared_ptr<Waiter> w;
        Handler h;
        {
            std::lock_guard lock(mutex);
            if (waiters.empty()) {
                permit = true;
                return;
            }
            w = std::move(waiters.front());
            waiters.pop_front();
            w->stage = Stage::handed;
            h = std::move(w->handler);
        }
        complete(std::move(h), {});
    }

    bool try_take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(permit, false);
    }

    // Queues the waiter, or hands it the stored permit at once.
    template <class H>
    void enqueue(std::shared_ptr<NotifyState> const& self, std::shared_ptr<Waiter> const& w, H&& handler);

    // The waiting coroutine was cancelled, on whatever thread emitted it.
    void cancel(Waiter& w)
    {
        Handler h;
        {
            std::lock_guard lock(mutex);
            if (w.stage == Stage::waiting) {
                std::erase_if(waiters, [&](auto const& q) { return q.get() == &w; });
                w.stage = Stage::cancelled;
                h = std::move(w.handler);
            } else if (w.stage == Stage::handed) {
                w.stage = Stage::returned;
            } else {
                return;
            }
        }
        if (h)
            complete(std::move(h), asio::error::operation_aborted);
        else
            notify_one();  // pass on the permit this waiter will not use
    }

    // The coroutine resumed with a permit: it keeps it unless a cancellation
    // already passed it on.
    bool keep(Waiter& w)
    {
        std::lock_guard lock(mutex);
        if (w.stage == Stage::returned)
            return false;
        w.stage = Stage::consumed;
        return true;
    }
};

namespace {

struct CancelWaiter {
    std::weak_ptr<NotifyState> state;
    std::shared_ptr<Waiter> waiter;

    void operator()(asio::cancellation_type_t type)
    {
        if (type == asio::cancellation_type::none)
            return;
        if (auto st = state.lock())
            st->cancel(*waiter);
    }
};

}  // namespace

template <class H>
void NotifyState::enqueue(std::shared_ptr<NotifyState> const& self, std::shared_ptr<Waiter> const& w, H&& handler)
{
    auto slot = asio::get_associated_cancellation_slot(handler);
    // Installed before the waiter becomes visible to notify_one, outside the lock.
    if (slot.is_connected())
        slot.template emplace<CancelWaiter>(CancelWaiter{self, w});
    Handler h = std::make_unique<ParkedHandlerOf<std::decay_t<H>>>(std::forward<H>(handler));
    bool handed = false;
    {
        std::lock_guard lock(mutex);
        if (std::exchange(permit, false)) {
            w->stage = Stage::handed;
            handed = true;
        } else {
            w->handler = std::move(h);
            waiters.push_back(w);
        }
    }
    if (handed)
        complete(std::move(h), {});
}

}  // namespace detail

namespace {

asio::awaitable<void> wait_on(std::shared_ptr<detail::NotifyState> st)
{
    if (st->try_take())
        co_return;
    auto waiter = std::make_shared<detail::Waiter>();
    auto token = asio::as_tuple(asio::use_awaitable);
    auto [ec] = co_await asio::async_initiate<decltype(token), void(error_code)>(
        [&st, &waiter](auto handler) { st->enqueue(st, waiter, std::move(handler)); }, token);
    if (ec)
        throw boost::system::system_error(ec);
    if (!st->keep(*waiter))
        throw boost::system::system_error(asio::error::operation_aborted);
}

}  // namespace

Notify::Notify() : state_(std::make_shared<detail::NotifyState>()) {}
Notify::~Notify() = default;

void Notify::notify_one() { state_->notify_one(); }

bool Notify::try_take() { return state_->try_take(); }

boost::asio::awaitable<void> Notify::wait() { return wait_on(state_); }

}  // namespace murlo::runtime
