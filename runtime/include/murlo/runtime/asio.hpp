#pragma once
// I/O objects whose operations, awaited without a completion token, complete
// as a tuple with the error first instead of throwing:
//
//     Socket socket(executor);
//     auto [ec, n] = co_await socket.async_read_some(buffer);
//     auto [ec] = co_await timer.async_wait();
//
// Failures at the edges of a connection are values, and a lost race in
// (a || b) is an operation_aborted tuple rather than an exception.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace murlo::runtime {

// The completion token the aliases below default to; pass it where there is
// no object to carry a default (async_initiate, free functions on plain objects).
using TupleAwaitable = boost::asio::as_tuple_t<boost::asio::use_awaitable_t<>>;
inline constexpr TupleAwaitable tuple_awaitable{};

using Socket = TupleAwaitable::as_default_on_t<boost::asio::ip::tcp::socket>;
using Acceptor = TupleAwaitable::as_default_on_t<boost::asio::ip::tcp::acceptor>;
using Timer = TupleAwaitable::as_default_on_t<boost::asio::steady_timer>;

}  // namespace murlo::runtime
