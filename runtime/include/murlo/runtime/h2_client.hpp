#pragma once
// A small HTTP/2 client: prior knowledge over plain TCP (h2c), http:// URIs
// only. One client owns its pool of connections, never shared: a connection
// is reused and multiplexed by later requests, closed after the idle timeout,
// and dropped from the pool once it has ended (EOF, GOAWAY, reset), so the
// next request opens a new one. Names are resolved on the runtime's blocking
// threads and every resolved address is tried in order.
//
// A client belongs to one task: build it with that task's executor (a strand)
// and use it from there; each connection is driven by a task of its own on
// the same executor. Abandoning a request (its coroutine cancelled, or the
// response dropped before its body ended) resets only its stream.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace murlo::runtime {

class Notify;

using Deadline = std::chrono::steady_clock::time_point;

// now + `ms`, saturating at the clock's end (which no timer ever reaches).
Deadline deadline_after(std::uint64_t ms);

// How connections are opened: plain TCP, optionally with TCP_NODELAY.
struct Connector {
    bool nodelay = false;
};

struct H2ClientOptions {
    Connector connector;
    std::chrono::milliseconds idle_timeout{90'000};
};

// Why a request got no reply head. Connect failures (resolution, refusal,
// unreachable, another scheme than http) are kept apart from every other kind.
struct ClientError {
    enum class Kind {
        connect,                // opening the connection failed
        absolute_uri_required,  // the target has no scheme or no authority
        send_request,           // the connection came up but the exchange failed
        goaway,                 // the server closed the connection with GOAWAY
    };
    ClientError(Kind k = Kind::send_request, std::string d = {}) : kind(k), detail(std::move(d)) {}
    Kind kind;
    // What is known of the cause: the resolver's error for a name that does
    // not resolve; the GOAWAY's error code by name ("ENHANCE_YOUR_CALM").
    std::string detail;
    bool is_connect() const { return kind == Kind::connect; }
    // "client error (Connect)" and the like, then ": " and the detail if any.
    std::string text() const;
};

// The deadline passed first.
struct TimedOut {};

// Why a reply body did not arrive whole.
struct ReplyBodyError {
    std::string text;
};

namespace detail {
struct H2Pool;
struct H2Stream;
}  // namespace detail

// A reply whose head has arrived; the body follows. Dropping it before the
// body has ended resets the stream.
class H2Response {
public:
    H2Response(std::shared_ptr<detail::H2Stream> stream);
    H2Response(H2Response&&) noexcept;
    H2Response& operator=(H2Response&&) noexcept;
    ~H2Response();

    unsigned status() const;
    // The whole body, without a size limit, or why not; the body wins a tie with the deadline.
    boost::asio::awaitable<std::variant<std::string, ReplyBodyError, TimedOut>> body(Deadline deadline);

private:
    std::shared_ptr<detail::H2Stream> stream_;
};

class H2Client {
public:
    H2Client(boost::asio::any_io_executor executor, H2ClientOptions options = {});
    // Closes every pooled connection; requests still in flight fail.
    ~H2Client();
    H2Client(const H2Client&) = delete;
    H2Client& operator=(const H2Client&) = delete;

    // Sends one request to the absolute URI `target` ("http://host[:port]/path")
    // with the header "content-type" (when not empty) and `body` (its length is
    // framing), and waits for the reply head. The deadline covers opening a
    // connection too; a head and the deadline ready together count as a reply.
    boost::asio::awaitable<std::variant<H2Response, ClientError, TimedOut>> request(std::string_view method,
                                                                                    std::string_view target,
                                                                                    std::string_view content_type,
                                                                                    std::string body,
                                                                                    Deadline deadline);

    // Pooled connections not closed yet, idle or carrying requests, for tests.
    std::size_t connections() const;

    // Raised (wake-one, a stored permit) whenever a pooled connection ends
    // other than by this client's own doing (its idle timeout, its end): the
    // server closed it, went away, or the connection broke.
    const std::shared_ptr<Notify>& peer_closed() const;

private:
    std::shared_ptr<detail::H2Pool> pool_;
};

}  // namespace murlo::runtime
