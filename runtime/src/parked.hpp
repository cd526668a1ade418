#pragma once
// A parked completion handler, type-erased so queues of different waiters can
// hold it. It keeps the handler's executor busy (outstanding work) so a run
// loop does not return while the operation is parked.

#include <memory>
#include <utility>

#include <boost/asio/append.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>

namespace murlo::runtime::detail {

template <class... Args>
struct Parked {
    virtual ~Parked() = default;
    // Resumes the waiter on its own executor, never inline; call without locks.
    virtual void post(Args... args) = 0;
};

template <class H, class... Args>
struct ParkedOf final : Parked<Args...> {
    explicit ParkedOf(H&& h)
        : handler(std::move(h)),
          work(boost::asio::prefer(boost::asio::get_associated_executor(handler),
                                   boost::asio::execution::outstanding_work.tracked)) {}
    void post(Args... args) override {
        auto ex = std::move(work);
        boost::asio::post(ex, boost::asio::append(std::move(handler), std::move(args)...));
    }

    H handler;
    decltype(boost::asio::prefer(boost::asio::get_associated_executor(std::declval<H&>()),
                                 boost::asio::execution::outstanding_work.tracked)) work;
};

template <class... Args, class H>
std::unique_ptr<Parked<Args...>> park(H&& handler) {
    return std::make_unique<ParkedOf<std::decay_t<H>, Args...>>(std::forward<H>(handler));
}

}  // namespace murlo::runtime::detail
