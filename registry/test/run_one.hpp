#pragma once
// One coroutine run to completion on a fresh single-threaded io_context.

#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

namespace murlo::registry::testing {

// The task's result, or what it threw.
template <class T>
T run_one(boost::asio::awaitable<T> task) {
    boost::asio::io_context io;
    auto result = boost::asio::co_spawn(io, std::move(task), boost::asio::use_future);
    io.run();
    return result.get();
}

}  // namespace murlo::registry::testing
