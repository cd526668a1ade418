#pragma once
// The server side of HTTP for one accepted connection. The first bytes pick
// the protocol: the 24-byte HTTP/2 connection preface starts an HTTP/2 session
// (prior knowledge over plain TCP); anything else is served as HTTP/1.1
// (keep-alive, one request at a time, an Upgrade request answered as plain
// HTTP/1.1). Both hand every request to one service function and write its
// whole in-memory answer with "content-length", "date" and the one header the
// service sets, "content-type". A HEAD request gets the headers of the answer
// the service gives it, without its body. No read, idle or keep-alive timeout.
//
// A request whose client goes away (RST_STREAM, a closed connection) has the
// task its service returned cancelled where it waits (terminal cancellation
// through the coroutine's cancellation slot), and no answer is written. A
// connection that breaks the protocol, resets or vanishes ends its own task
// only.
//
// HTTP/1.1 notices a closed connection only once the request's body has been
// read whole (or it had none): before that the socket belongs to read_body.
//
// What a peer can make a connection hold stays bounded: a body is handed over,
// not copied; a body the service does not read is held back by flow control
// and dropped once the service returns; answers the peer does not take stop
// new requests from being served (HTTP/2: past a few MiB per connection;
// HTTP/1.1: one answer at a time); an HTTP/2 header block that decodes to
// more than 64 KiB ends its connection (GOAWAY ENHANCE_YOUR_CALM), so that
// block is not decoded further; so does a flood of HTTP/2 stream resets
// (about 1,000, then 33 a second), where a stream the server served or a held
// request it had parked gives its reset for free.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace murlo::runtime {

// Streams advertised per HTTP/2 connection.
inline constexpr unsigned h2_max_concurrent_streams = 200;

enum class BodyError {
    too_large,  // the data passed the limit; the rest was not read
    broken,     // the stream was reset, the connection closed or the framing broke before the end
    taken,      // an earlier read_body call got the body
};

// The whole body, or why there is none.
using Body = std::variant<std::string, BodyError>;

struct HttpRequest {
    std::string_view method;  // as sent: "GET", "HEAD", "POST", ...
    std::string_view target;  // path and query as sent (HTTP/2: ":path"), e.g. "/v1/pools?x=1"
    // Reads the whole body and hands it over (it is not kept), counting data
    // bytes as they arrive: the first chunk that takes the total past `limit`
    // ends the read with too_large, so a body of exactly `limit` bytes is
    // read. Over HTTP/1.1 it answers a pending "Expect: 100-continue" first.
    // A second call gives the first call's error again, or taken when that
    // call got the body. A service that never calls it leaves the body to the
    // connection, which discards it. Valid while the request is served (the
    // service call and the task it returns).
    std::function<boost::asio::awaitable<Body>(std::size_t limit)> read_body;
    // The same read without suspending: the result when the whole body has
    // already arrived (or the read has already failed), none when read_body
    // would have to wait. A result counts as the read: later calls of either
    // give taken or the error again.
    std::function<std::optional<Body>(std::size_t limit)> body_now;
};

struct HttpResponse {
    unsigned status = 200;
    std::string_view content_type;  // "content-type": static text (a literal); empty: none is sent
    std::string body;               // the whole body, sent with its length
};

// What the service gives back for one request: the answer itself when it
// needs no waiting, or a task that makes it (run by the connection, cancelled
// when the client goes away).
using HttpReply = std::variant<HttpResponse, boost::asio::awaitable<HttpResponse>>;

// Called once per request on the connection's thread; most requests are
// answered inline, without a task. An exception (from the call or its task)
// ends that request without an answer: the HTTP/2 stream is reset, the
// HTTP/1.1 connection closed.
using HttpService = std::function<HttpReply(HttpRequest request)>;

// Serves `socket` until the connection ends; never throws. The connection's
// work stays on the socket's executor when that is one thread (a runtime
// worker), and runs on a strand of its own otherwise.
boost::asio::awaitable<void> serve_connection(boost::asio::ip::tcp::socket socket, HttpService service);

}  // namespace murlo::runtime
