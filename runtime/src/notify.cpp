// Wake-one notification. One mutex guards the permit and the queue of waiters.
// A waiter's completion is posted (queued, never run inline) under that mutex,
// so it cannot race the waiter's io_context going away: each io_context keeps
// a parking lot of the waiters parked from it and, when it is destroyed,
// drops those still queued, which destroys their coroutines like any other
// pending operation of a stopped runtime.

#include "murlo/runtime/notify.hpp"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/query.hpp>
#include <boost/system/system_error.hpp>

#include "murlo/runtime/asio.hpp"
#include "kept.hpp"
#include "parked.hpp"

namespace murlo::runtime {

namespace asio = boost::asio;
using boost::system::error_code;

namespace detail {

namespace {

enum class Stage {
    waiting,    // queued, no permit yet
    handed,     // a permit was given; the completion is posted
    consumed,   // the coroutine resumed and kept the permit
    returned,   // cancelled after being handed: the permit went back
    cancelled,  // cancelled while queued, or dropped with its io_context
};

using Handler = std::unique_ptr<Parked<error_code>>;

struct Waiter {
    Stage stage = Stage::waiting;
    Handler handler;
};

}  // namespace

struct NotifyState {
    std::mutex mutex;
    bool permit = false;
    std::list<std::shared_ptr<Waiter>> waiters;

    void notify_one() {
        std::lock_guard lock(mutex);
        if (waiters.empty()) {
            permit = true;
            return;
        }
        auto w = std::move(waiters.front());
        waiters.pop_front();
        w->stage = Stage::handed;
        std::exchange(w->handler, nullptr)->post({});
    }

    bool try_take() {
        std::lock_guard lock(mutex);
        return std::exchange(permit, false);
    }

    // Queues the waiter, or hands it the stored permit at once. `connect`
    // hooks the waiter to its cancellation slot: it runs under the mutex once
    // the handler is stored and before anyone can post it, so a cancellation
    // always finds the handler, and the slot is never touched after the
    // waiter may have resumed on another thread.
    template <class Connect>
    void enqueue(const std::shared_ptr<Waiter>& w, Handler h, Connect&& connect) {
        std::lock_guard lock(mutex);
        w->handler = std::move(h);
        connect();
        if (w->stage == Stage::cancelled) {
            std::exchange(w->handler, nullptr)->post(asio::error::operation_aborted);
            return;
        }
        if (std::exchange(permit, false)) {
            w->stage = Stage::handed;
            std::exchange(w->handler, nullptr)->post({});
            return;
        }
        waiters.push_back(w);
    }

    // The waiting coroutine was cancelled, on whatever thread emitted it.
    void cancel(Waiter& w) {
        {
            std::lock_guard lock(mutex);
            if (w.stage == Stage::waiting) {
                std::erase_if(waiters, [&](const auto& q) { return q.get() == &w; });
                w.stage = Stage::cancelled;
                // Without a handler the waiter is not queued yet: enqueue ends it.
                if (w.handler) std::exchange(w.handler, nullptr)->post(asio::error::operation_aborted);
                return;
            }
            if (w.stage != Stage::handed) return;
            w.stage = Stage::returned;
        }
        notify_one();  // pass on the permit this waiter will not use
    }

    // The coroutine resumed with a permit: it keeps it unless a cancellation
    // already passed it on.
    bool keep(Waiter& w) {
        std::lock_guard lock(mutex);
        if (w.stage == Stage::returned) return false;
        w.stage = Stage::consumed;
        return true;
    }

    // The waiter's io_context is going: take its handler out unrun.
    Handler drop(Waiter& w) {
        std::lock_guard lock(mutex);
        if (w.stage != Stage::waiting) return nullptr;
        std::erase_if(waiters, [&](const auto& q) { return q.get() == &w; });
        w.stage = Stage::cancelled;
        return std::move(w.handler);
    }
};

namespace {

// The waiters parked from one io_context, held weakly.
class ParkingLot : public asio::execution_context::service {
public:
    using key_type = ParkingLot;
    static asio::execution_context::id id;

    explicit ParkingLot(asio::execution_context& ctx) : service(ctx) {}

    void add(const std::shared_ptr<NotifyState>& st, const std::shared_ptr<Waiter>& w) {
        std::lock_guard lock(mutex_);
        // Forget finished waiters whenever the list has doubled since the last pass.
        if (entries_.size() >= 2 * pruned_size_ + 64) {
            std::erase_if(entries_, [](const Entry& e) { return e.waiter.expired(); });
            pruned_size_ = entries_.size();
        }
        entries_.push_back(Entry{st, w});
    }

    void shutdown() override {
        std::vector<Entry> entries;
        {
            std::lock_guard lock(mutex_);
            entries.assign(entries_.begin(), entries_.end());
            entries_.clear();
        }
        // Destroyed outside every lock: a coroutine's frame may own anything.
        std::vector<Handler> dropped;
        for (auto& e : entries) {
            auto st = e.state.lock();
            auto w = e.waiter.lock();
            if (st && w)
                if (auto h = st->drop(*w)) dropped.push_back(std::move(h));
        }
    }

private:
    struct Entry {
        std::weak_ptr<NotifyState> state;
        std::weak_ptr<Waiter> waiter;
    };
    std::mutex mutex_;
    std::list<Entry> entries_;
    std::size_t pruned_size_ = 0;
};

asio::execution_context::id ParkingLot::id;

struct CancelWaiter {
    std::weak_ptr<NotifyState> state;
    std::shared_ptr<Waiter> waiter;

    void operator()(asio::cancellation_type_t type) {
        if (type == asio::cancellation_type::none) return;
        if (auto st = state.lock()) st->cancel(*waiter);
    }
};

template <class H>
void park_waiter(const std::shared_ptr<NotifyState>& st, const std::shared_ptr<Waiter>& w, H&& handler) {
    // The slot is taken before the handler moves into its parking place.
    auto slot = asio::get_associated_cancellation_slot(handler);
    auto& ctx = asio::query(asio::get_associated_executor(handler), asio::execution::context);
    asio::use_service<ParkingLot>(ctx).add(st, w);
    st->enqueue(w, park<error_code>(std::forward<H>(handler)), [&] {
        if (slot.is_connected()) slot.template emplace<CancelWaiter>(CancelWaiter{st, w});
    });
}

}  // namespace

}  // namespace detail

namespace {

asio::awaitable<void> wait_on(std::shared_ptr<detail::NotifyState> st) {
    if (st->try_take()) co_return;
    auto waiter = std::make_shared<detail::Waiter>();
    auto [ec] = co_await asio::async_initiate<const TupleAwaitable&, void(error_code)>(
        [&st, &waiter](auto handler) { detail::park_waiter(st, waiter, std::move(handler)); }, tuple_awaitable);
    if (ec) throw boost::system::system_error(ec);
    if (!st->keep(*waiter)) throw boost::system::system_error(asio::error::operation_aborted);
}

}  // namespace

Notify::Notify() : state_(std::make_shared<detail::NotifyState>()) {}
Notify::~Notify() = default;

void Notify::notify_one() { state_->notify_one(); }

bool Notify::try_take() { return state_->try_take(); }

boost::asio::awaitable<void> Notify::wait() { return wait_on(state_); }

void Notify::lock_for_fork() { state_->mutex.lock(); }

void Notify::unlock_after_fork() { state_->mutex.unlock(); }

void Notify::renew_after_fork() {
    auto fresh = std::make_shared<detail::NotifyState>();
    fresh->permit = state_->permit;  // read under the lock lock_for_fork took
    // The old state lists the parent's waiters: never released.
    detail::keep_forever(std::exchange(state_, std::move(fresh)));
}

}  // namespace murlo::runtime
