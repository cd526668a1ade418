#pragma once
// Pieces shared by the HTTP/1.1 and HTTP/2 halves of a server connection.

#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include "murlo/runtime/asio.hpp"
#include "murlo/runtime/http.hpp"

namespace murlo::runtime::detail {

inline constexpr std::string_view h2_preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

// The current time as an HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT"; the
// text is this thread's, valid until its next call.
const std::string& http_date();

// The task's answer, or none when it threw or was cancelled.
boost::asio::awaitable<std::optional<HttpResponse>> call_task(boost::asio::awaitable<HttpResponse> task);

// `buffer` holds what was read before the protocol was known.
boost::asio::awaitable<void> serve_h1(Socket& socket, boost::beast::flat_buffer& buffer, const HttpService& service);
// Takes the socket: the connection's stream tasks keep it.
boost::asio::awaitable<void> serve_h2(Socket socket, boost::beast::flat_buffer& buffer, HttpService service);

}  // namespace murlo::runtime::detail
