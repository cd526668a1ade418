// One accepted connection: sniff the first bytes, then serve HTTP/2 or HTTP/1.1.

#include <time.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "http_internal.hpp"
#include "murlo/runtime/runtime.hpp"

namespace murlo::runtime {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace detail {

const std::string& http_date() {
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // The text changes once a second: each thread formats it again only then.
    thread_local time_t cached_at = -1;
    thread_local std::string cached;
    time_t now = ::time(nullptr);
    if (now != cached_at) {
        struct tm t {};
        ::gmtime_r(&now, &t);
        char buf[40];
        std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[t.tm_wday], t.tm_mday,
                      months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
        cached = buf;
        cached_at = now;
    }
    return cached;
}

asio::awaitable<std::optional<HttpResponse>> call_task(asio::awaitable<HttpResponse> task) {
    try {
        co_return co_await std::move(task);
    } catch (...) {
        co_return std::nullopt;
    }
}

namespace {

enum class Protocol { h1, h2, none };

// Reads until the bytes either are the preface or stop being a prefix of it.
asio::awaitable<Protocol> sniff(Socket& socket, boost::beast::flat_buffer& buffer) {
    for (;;) {
        auto [ec, n] = co_await socket.async_read_some(buffer.prepare(4096));
        if (ec) co_return Protocol::none;
        buffer.commit(n);
        auto data = buffer.cdata();
        std::string_view got(static_cast<const char*>(data.data()), data.size());
        std::size_t common = std::min(got.size(), h2_preface.size());
        if (got.substr(0, common) != h2_preface.substr(0, common)) co_return Protocol::h1;
        if (got.size() >= h2_preface.size()) co_return Protocol::h2;
    }
}

asio::awaitable<void> serve(Socket socket, HttpService service) {
    // Answers are small writes: without this, Nagle holds one back until the
    // peer's delayed ACK (about 40 ms) whenever an earlier one is unacknowledged.
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    try {
        boost::beast::flat_buffer buffer;
        switch (co_await sniff(socket, buffer)) {
            case Protocol::h1:
                co_await serve_h1(socket, buffer, service);
                break;
            case Protocol::h2:
                co_await serve_h2(std::move(socket), buffer, std::move(service));
                break;
            case Protocol::none:
                break;
        }
    } catch (...) {
        // Whatever broke ends this connection alone.
    }
    socket.close(ignored);
}

}  // namespace

}  // namespace detail

asio::awaitable<void> serve_connection(tcp::socket socket, HttpService service) {
    const auto home = socket.get_executor();
    if (!single_threaded(home)) {
        // Several threads may run the socket's context: the connection's
        // stream tasks share a strand.
        auto strand = asio::make_strand(home);
        co_await asio::co_spawn(strand, detail::serve(std::move(socket), std::move(service)), asio::use_awaitable);
        co_return;
    }
    // A runtime's worker: one thread, no strand. Already there, serve here.
    const auto here = co_await asio::this_coro::executor;
    if (&asio::query(here, asio::execution::context) == &asio::query(home, asio::execution::context)) {
        co_await detail::serve(std::move(socket), std::move(service));
        co_return;
    }
    co_await asio::co_spawn(home, detail::serve(std::move(socket), std::move(service)), asio::use_awaitable);
}

}  // namespace murlo::runtime
