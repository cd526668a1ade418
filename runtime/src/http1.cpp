// HTTP/1.1 through Beast: one request at a time, keep-alive, no timeouts.
// While the service works on a request whose body is in, the connection keeps
// reading so that a client that goes away cancels the service call; bytes of
// a pipelined next request read meanwhile stay in the buffer for it (up to
// pipeline_limit). Nothing is read while an answer is being written, so a
// client that does not read its answers holds one of them at most. Bodies
// are read through the parser in pieces on demand: one the service did not
// read is drained and discarded, never kept.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>

#include <boost/asio/buffer.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>

#include "http_internal.hpp"
#include "murlo/runtime/notify.hpp"

namespace murlo::runtime::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr std::size_t header_limit = 64 * 1024;
// An unread body up to this size is drained to keep the connection; a larger
// one closes it after the answer.
constexpr std::size_t drain_limit = 64 * 1024;
// Bytes of a pipelined request buffered while a request is being served.
constexpr std::size_t pipeline_limit = 64 * 1024;
// After a closing answer, how much and how long to read before closing, so
// the client sees the answer rather than a reset caused by its own unread data.
constexpr std::size_t linger_bytes = 4 * 1024 * 1024;
constexpr std::chrono::seconds linger_time{2};

using Parser = http::request_parser<http::buffer_body>;

// One request being served: the parser owns the head; the body is read
// through it on demand.
struct Exchange {
    Socket& socket;
    beast::flat_buffer& buffer;
    Parser parser;
    bool expect_continue = false;
    bool continue_sent = false;
    bool body_read = false;            // read_body has finished
    std::optional<BodyError> failure;  // why it gave no body
    bool body_failed = false;          // the body was left mid-way: the connection cannot go on
    // Made only when watch_close has to wait for the body.
    std::shared_ptr<Notify> body_done;
    void body_finished() {
        if (body_done) body_done->notify_one();
    }

    Exchange(Socket& s, beast::flat_buffer& b) : socket(s), buffer(b) {}

    // Reads the next piece of body into `chunk`; false at an error.
    asio::awaitable<bool> next_piece(char* chunk, std::size_t size, std::size_t& got) {
        auto& body = parser.get().body();
        body.data = chunk;
        body.size = size;
        auto [ec, n] = co_await http::async_read(socket, buffer, parser);
        if (ec == http::error::need_buffer) ec = {};
        got = size - parser.get().body().size;
        co_return !ec;
    }

    // The body when all of it is in the buffer already (or it cannot be
    // read at all), without suspending; none when reading would wait.
    std::optional<Body> body_now(std::size_t limit) {
        if (body_read) return failure ? *failure : BodyError::taken;
        std::string bytes;
        if (!parser.is_done()) {
            const auto declared = parser.content_length();
            if (declared && *declared > limit) return read_ended(BodyError::too_large);
            // A chunked body, or one not in yet, is read_body's.
            if (!declared || buffer.size() < *declared) return std::nullopt;
            bytes.resize(*declared);
            auto& body = parser.get().body();
            body.data = bytes.data();
            body.size = bytes.size();
            boost::system::error_code ec;
            while (!parser.is_done() && !ec) {
                const std::size_t used = parser.put(buffer.cdata(), ec);
                buffer.consume(used);
                if (ec == http::error::need_buffer) ec = {};
                if (used == 0 && !ec && !parser.is_done()) return read_ended(BodyError::broken);
            }
            if (ec) return read_ended(BodyError::broken);
        }
        body_read = true;
        body_finished();
        return bytes;
    }

    Body read_ended(BodyError why) {
        body_failed = true;
        failure = why;
        body_read = true;
        body_finished();
        return why;
    }

    asio::awaitable<Body> read_body(std::size_t limit) {
        if (body_read) co_return failure ? *failure : BodyError::taken;
        std::string bytes = co_await read_whole(limit);
        body_read = true;
        body_finished();
        if (failure) co_return *failure;
        co_return std::move(bytes);
    }

    // The body up to `limit`, or empty with `failure` set.
    asio::awaitable<std::string> read_whole(std::size_t limit) {
        // A declared length over the limit cannot fit: answer without inviting
        // or reading the body.
        if (auto declared = parser.content_length(); declared && *declared > limit) {
            body_failed = true;
            failure = BodyError::too_large;
            co_return std::string();
        }
        if (!parser.is_done() && expect_continue && !continue_sent) {
            continue_sent = true;
            static constexpr std::string_view go_on = "HTTP/1.1 100 Continue\r\n\r\n";
            auto [ec, n] = co_await asio::async_write(socket, asio::buffer(go_on));
            if (ec) {
                body_failed = true;
                failure = BodyError::broken;
                co_return std::string();
            }
        }
        std::string bytes;
        char chunk[16 * 1024];
        while (!parser.is_done()) {
            std::size_t got = 0;
            bool ok = co_await next_piece(chunk, sizeof chunk, got);
            if (bytes.size() + got > limit) {
                body_failed = true;
                failure = BodyError::too_large;
                co_return std::string();
            }
            bytes.append(chunk, got);
            if (!ok) {
                body_failed = true;
                failure = BodyError::broken;
                co_return std::string();
            }
        }
        co_return bytes;
    }

    // After the answer is known: can the connection carry another request?
    asio::awaitable<bool> finish_body() {
        if (body_failed) co_return false;
        if (parser.is_done()) co_return true;
        // The client waits for our go-ahead before it sends the body: do not
        // invite it, close after the answer.
        if (expect_continue && !continue_sent) co_return false;
        std::size_t drained = 0;
        char chunk[16 * 1024];
        while (!parser.is_done()) {
            std::size_t got = 0;
            if (!co_await next_piece(chunk, sizeof chunk, got)) co_return false;
            drained += got;
            if (drained > drain_limit) co_return false;
        }
        co_return true;
    }
};

// Ends when the client closes or breaks the connection; until then keeps
// what it reads (a pipelined request) in the buffer. Starts reading only once
// the body is in, since before that the socket is read_body's.
asio::awaitable<void> watch_close(Exchange& ex) {
    if (!ex.parser.is_done() && !ex.body_read) {
        ex.body_done = std::make_shared<Notify>();
        co_await ex.body_done->wait();
    }
    Notify never;
    for (;;) {
        if (ex.buffer.size() >= pipeline_limit) co_await never.wait();  // enough queued: wait to be cancelled
        auto [ec, n] = co_await ex.socket.async_read_some(ex.buffer.prepare(4096));
        ex.buffer.commit(n);
        if (ec) co_return;
    }
}

// The head is written by hand into the frame, the body taken from `res`
// without a copy: one gathered write, no per-field allocations.
asio::awaitable<bool> write_answer(Exchange& ex, HttpResponse& res, bool keep_alive) {
    const auto& req = ex.parser.get();
    const bool http10 = req.version() == 10;
    const std::string_view reason = http::obsolete_reason(http::int_to_status(res.status));
    const std::string& date = http_date();
    // The head's fixed text, the status and length numbers and the optional
    // connection line take under 120 bytes; a long content type spills over.
    const std::size_t needed = 120 + reason.size() + res.content_type.size() + date.size();
    char frame_head[512];
    std::string spill;
    char* head = frame_head;
    if (needed > sizeof frame_head) {
        spill.resize(needed);
        head = spill.data();
    }
    std::size_t used = 0;
    auto put = [&](std::string_view text) {
        std::memcpy(head + used, text.data(), text.size());
        used += text.size();
    };
    auto put_number = [&](std::uint64_t value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    };
    put(http10 ? "HTTP/1.0 " : "HTTP/1.1 ");
    put_number(res.status);
    put(" ");
    put(reason);
    put("\r\n");
    if (!res.content_type.empty()) {
        put("Content-Type: ");
        put(res.content_type);
        put("\r\n");
    }
    put("Date: ");
    put(date);
    put("\r\nContent-Length: ");
    put_number(res.body.size());
    put("\r\n");
    if (http10 && keep_alive) put("Connection: keep-alive\r\n");
    if (!http10 && !keep_alive) put("Connection: close\r\n");
    put("\r\n");
    const bool with_body = req.method() != http::verb::head && !res.body.empty();
    const std::array<asio::const_buffer, 2> out{asio::buffer(head, used),
                                                with_body ? asio::buffer(res.body) : asio::const_buffer()};
    auto [ec, n] = co_await asio::async_write(ex.socket, out);
    co_return !ec;
}

// Half-closes, then reads what the client still sends for a while, so that
// closing does not reset the connection under an answer it has not read yet.
asio::awaitable<void> linger(Socket& socket) {
    boost::system::error_code ec;
    socket.shutdown(tcp::socket::shutdown_send, ec);
    if (ec) co_return;
    Timer timer(co_await asio::this_coro::executor, linger_time);
    auto drain = [&]() -> asio::awaitable<void> {
        char sink[16 * 1024];
        for (std::size_t total = 0; total < linger_bytes;) {
            auto [e, n] = co_await socket.async_read_some(asio::buffer(sink));
            if (e) co_return;
            total += n;
        }
    };
    co_await (drain() || timer.async_wait());
}

}  // namespace

asio::awaitable<void> serve_h1(Socket& socket, beast::flat_buffer& buffer, const HttpService& service) {
    for (;;) {
        Exchange ex(socket, buffer);
        ex.parser.body_limit(boost::none);  // counted by read_body against its own limit
        ex.parser.header_limit(header_limit);
        auto [ec, n] = co_await http::async_read_header(socket, buffer, ex.parser);
        if (ec) co_return;
        const auto& req = ex.parser.get();
        {
            auto expect = req[http::field::expect];
            ex.expect_continue = beast::iequals(expect, "100-continue");
        }

        HttpRequest request{req.method_string(), req.target(), [&ex](std::size_t limit) { return ex.read_body(limit); },
                            [&ex](std::size_t limit) { return ex.body_now(limit); }};
        std::optional<HttpResponse> answer;
        std::optional<HttpReply> reply;
        try {
            reply.emplace(service(std::move(request)));
        } catch (...) {
            co_return;  // the service failed: end without an answer
        }
        if (auto* now = std::get_if<HttpResponse>(&*reply)) {
            answer = std::move(*now);
        } else {
            // Named: g++ 12 mishandles non-trivial temporaries of an awaited expression.
            auto task = call_task(std::get<1>(std::move(*reply)));
            auto outcome = co_await (std::move(task) || watch_close(ex));
            if (outcome.index() != 0) co_return;  // the client went away: no answer
            answer = std::move(std::get<0>(outcome));
        }
        if (!answer) co_return;  // the service failed: end without an answer

        bool keep_alive = req.keep_alive() && co_await ex.finish_body();
        if (!co_await write_answer(ex, *answer, keep_alive)) co_return;
        if (!keep_alive) {
            co_await linger(socket);
            co_return;
        }
    }
}

}  // namespace murlo::runtime::detail
