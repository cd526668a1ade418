// HTTP/2 through an nghttp2 server session driven by the socket: a reader
// feeds received bytes in, a writer sends what the session has to say, and
// every request stream runs the service in a task of its own. Everything of
// one connection runs on one thread at a time (its worker, or a strand), so
// the session is never used from two threads. nghttp2 callbacks only record
// what happened; tasks are started and cancelled after the session call
// returns.
//
// What a peer can make the connection hold is bounded:
// - request bodies: the connection window opens as bytes arrive, a stream's
//   window only as its service reads (read_body hands the bytes over), so a
//   body nobody reads stays within the peer's stream window, and once the
//   service has returned what is left of it is dropped as it arrives. (No
//   RST_STREAM with NO_ERROR after an early answer: curl 7.88 then reports
//   the answer it already has as a stream error.)
// - answers: past unsent_limit bytes the peer has not taken, stream services
//   wait before they start, and while a socket write is stuck as well nothing
//   more is read (window updates must still get in while the socket is free);
// - header blocks: decoded bytes per stream are counted, the stream reset past
//   header_list_limit, so a small block that decodes to a huge one costs
//   little.

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "http_internal.hpp"
#include "murlo/runtime/notify.hpp"

namespace murlo::runtime::detail {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;

namespace {

// Answer bytes the peer has not taken, per connection, past which no further
// stream service starts.
constexpr std::size_t unsent_limit = 4 * 1024 * 1024;
// Decoded header bytes per stream (name, value and 32 per field, as HTTP/2
// counts a header list), request head and trailers together; also advertised.
constexpr std::size_t header_list_limit = 64 * 1024;
// Bytes gathered from the session into one socket write.
constexpr std::size_t write_batch = 64 * 1024;

enum class BodyPhase {
    unread,    // kept, within the stream's window, until the service asks
    reading,   // read_body takes the bytes as they arrive
    finished,  // read_body has its result or the service returned: bytes are dropped
};

struct Stream {
    std::int32_t id = 0;
    std::string method;
    std::string path;
    std::size_t header_bytes = 0;
    // Request body.
    BodyPhase phase = BodyPhase::unread;
    std::string body;          // arrived, not yet handed to the service
    std::size_t received = 0;  // data bytes so far
    std::size_t limit = SIZE_MAX;
    bool body_ended = false;
    bool closed = false;  // nghttp2 is done with the stream
    std::optional<BodyError> failure;  // why read_body gave no body
    // Made only when a service waits for body bytes still to come; most bodies have
    // arrived by the time the service asks.
    std::shared_ptr<Notify> body_event;
    void body_changed()
    {
        if (body_event)
            body_event->notify_one();
    }
    // Task and answer.
    bool task_running = false;
    bool answered = false;
    std::string answer_body;
    std::size_t answer_sent = 0;
    std::size_t unsent() const { return answer_body.size() - answer_sent; }
    void drop_answer()
    {
        std::string().swap(answer_body);
        answer_sent = 0;
    }
    void drop_body() { std::string().swap(body); }
    std::shared_ptr<asio::cancellation_signal> cancel = std::make_shared<asio::cancellation_signal>();
};

struct SessionDeleter {
    void operator()(nghttp2_session* s) const { nghttp2_session_del(s); }
};

struct Connection : std::enable_shared_from_this<Connection> {
    tcp::socket& socket;
    const HttpService& service;
    asio::any_io_executor executor;
    std::unique_ptr<nghttp2_session, SessionDeleter> session;
    std::map<std::int32_t, std::shared_ptr<Stream>> streams;
    std::vector<std::shared_ptr<Stream>> to_start;
    std::vector<std::shared_ptr<Stream>> to_cancel;
    std::shared_ptr<Notify> want_write = std::make_shared<Notify>();
    // Answer bytes nghttp2 has not taken yet, summed over the streams.
    std::size_t unsent = 0;
    // Stream tasks waiting for unsent to drop below the limit, and their wake-up.
    std::size_t gated = 0;
    std::shared_ptr<Notify> room = std::make_shared<Notify>();
    // A socket write is in progress; the reader waits on may_read while that
    // and the unsent limit both hold.
    bool writing = false;
    std::shared_ptr<Notify> may_read = std::make_shared<Notify>();
    bool done = false;  // the connection has ended; streams answer nothing more
    // Stream tasks alive: the connection task outlives them, since they use
    // its socket and service.
    std::size_t running = 0;
    std::shared_ptr<Notify> all_ended = std::make_shared<Notify>();

    Connection(tcp::socket& s, const HttpService& svc, asio::any_io_executor ex)
        : socket(s), service(svc), executor(std::move(ex))
    {
    }

    static Connection& of(void* user) { return *static_cast<Connection*>(user); }

    Stream* find(std::int32_t id)
    {
        auto it = streams.find(id);
        return it == streams.end() ? nullptr : it->second.get();
    }

    bool over_limit() const { return unsent >= unsent_limit; }

    // --- nghttp2 callbacks: record, never start or resume anything here.

    static int on_begin_headers(nghttp2_session*, const nghttp2_frame* frame, void* user)
    {
        if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST)
            return 0;
        auto s = std::make_shared<Stream>();
        s->id = frame->hd.stream_id;
        of(user).streams[s->id] = std::move(s);
        return 0;
    }

    static int on_header(nghttp2_session* session, const nghttp2_frame* frame, const std::uint8_t* name,
                         std::size_t namelen, const std::uint8_t* value, std::size_t valuelen, std::uint8_t,
                         void* user)
    {
        if (frame->hd.type != NGHTTP2_HEADERS)
            return 0;
        Stream* s = of(user).find(frame->hd.stream_id);
        if (!s)
            return 0;
        s->header_bytes += namelen + valuelen + 32;
        if (s->header_bytes > header_list_limit) {
            // nghttp2 skips the rest of the block without handing it to us.
            nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, s->id, NGHTTP2_ENHANCE_YOUR_CALM);
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        }
        if (frame->headers.cat != NGHTTP2_HCAT_REQUEST)
            return 0;
        std::string_view n(reinterpret_cast<const char*>(name), namelen);
        std::string_view v(reinterpret_cast<const char*>(value), valuelen);
        if (n == ":method")
            s->method = v;
        else if (n == ":path")
            s->path = v;
        return 0;
    }

    static int on_frame_recv(nghttp2_session*, const nghttp2_frame* frame, void* user)
    {
        auto& c = of(user);
        if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA)
            return 0;
        auto it = c.streams.find(frame->hd.stream_id);
        if (it == c.streams.end())
            return 0;
        auto& s = it->second;
        if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST && !s->task_running &&
            !s->answered) {
            s->task_running = true;
            c.to_start.push_back(s);
        }
        if (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) {
            s->body_ended = true;
            s->body_changed();
        }
        return 0;
    }

    static int on_data_chunk(nghttp2_session* session, std::uint8_t, std::int32_t id, const std::uint8_t* data,
                             std::size_t len, void* user)
    {
        // The connection's window opens at once: what a stream's service has
        // not read is held back by that stream's window alone, so one stream
        // never stalls the others.
        if (nghttp2_session_consume_connection(session, len) != 0)
            return NGHTTP2_ERR_CALLBACK_FAILURE;
        Stream* s = of(user).find(id);
        if (!s || s->phase == BodyPhase::finished)
            return 0;
        s->received += len;
        if (s->received > s->limit) {
            // Counted as it arrives: past the limit the rest is dropped.
            s->drop_body();
            s->body_changed();
            return 0;
        }
        s->body.append(reinterpret_cast<const char*>(data), len);
        if (s->phase == BodyPhase::reading)
            s->body_changed();
        return 0;
    }

    static int on_stream_close(nghttp2_session*, std::int32_t id, std::uint32_t, void* user)
    {
        auto& c = of(user);
        auto it = c.streams.find(id);
        if (it == c.streams.end())
            return 0;
        auto s = std::move(it->second);
        c.streams.erase(it);
        s->closed = true;
        c.unsent -= s->unsent();
        s->drop_answer();
        if (!s->body_ended)
            s->drop_body();  // cut off: it can only be broken now
        s->body_changed();
        // Closed before our answer went out: the client abandoned the request.
        if (s->task_running)
            c.to_cancel.push_back(std::move(s));
        return 0;
    }

    static ssize_t read_answer(nghttp2_session*, std::int32_t id, std::uint8_t* buf, std::size_t length,
                               std::uint32_t* flags, nghttp2_data_source*, void* user)
    {
        auto& c = of(user);
        Stream* s = c.find(id);
        if (!s)
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        std::size_t n = std::min(length, s->unsent());
        std::memcpy(buf, s->answer_body.data() + s->answer_sent, n);
        s->answer_sent += n;
        c.unsent -= n;
        if (s->unsent() == 0) {
            *flags |= NGHTTP2_DATA_FLAG_EOF;
            s->drop_answer();
        }
        return static_cast<ssize_t>(n);
    }

    // --- after each session call

    void run_deferred()
    {
        for (auto& s : std::exchange(to_cancel, {})) {
            // Posted: the cancelled task resumes later, on this connection's thread.
            asio::post(executor, [sig = s->cancel] { sig->emit(asio::cancellation_type::terminal); });
        }
        for (auto& s : std::exchange(to_start, {})) {
            if (s->closed) {
                s->task_running = false;  // abandoned before it began
                continue;
            }
            ++running;
            auto sig = s->cancel;
            asio::co_spawn(executor, run_stream(shared_from_this(), std::move(s)),
                           asio::bind_cancellation_slot(sig->slot(), [sig](std::exception_ptr) {}));
        }
        if (gated > 0 && !over_limit())
            room->notify_one();
    }

    // --- stream tasks

    struct Running {
        Connection& c;
        ~Running()
        {
            if (--c.running == 0)
                c.all_ended->notify_one();
        }
    };

    struct Gated {
        Connection& c;
        explicit Gated(Connection& conn) : c(conn) { ++c.gated; }
        ~Gated() { --c.gated; }
    };

    static asio::awaitable<void> run_stream(std::shared_ptr<Connection> c, std::shared_ptr<Stream> s)
    {
        Running counted{*c};
        // Let the session call that announced the stream finish first.
        co_await asio::post(c->executor, asio::use_awaitable);
        if (c->over_limit()) {
            // The peer is not taking our answers: make no more for it until it
            // does. Cancelled with the stream like the service would be.
            Gated waiting{*c};
            while (c->over_limit())
                co_await c->room->wait();
            // Pass the turn on; the next one looks once this service has
            // answered or waits for something else.
            if (c->gated > 1)
                c->room->notify_one();
        }
        HttpRequest request{s->method, s->path,
                            [c, s](std::size_t limit) { return read_body(c, s, limit); }};
        auto answer = co_await call_service(c->service, std::move(request));
        s->task_running = false;
        // Whatever the service left unread is not wanted.
        s->phase = BodyPhase::finished;
        s->drop_body();
        if (c->done || s->closed)
            co_return;
        if (answer)
            c->submit(*s, std::move(*answer));
        else
            nghttp2_submit_rst_stream(c->session.get(), NGHTTP2_FLAG_NONE, s->id, NGHTTP2_INTERNAL_ERROR);
        c->want_write->notify_one();
    }

    // Hands the body over as it arrives, opening the stream's window by what
    // it takes, so that the peer sends on only as far as the service reads.
    static asio::awaitable<Body> read_body(std::shared_ptr<Connection> c, std::shared_ptr<Stream> s,
                                           std::size_t limit)
    {
        if (s->phase != BodyPhase::unread)
            co_return s->failure ? *s->failure : BodyError::taken;
        s->phase = BodyPhase::reading;
        s->limit = limit;
        std::string got;
        for (;;) {
            if (s->received > limit) {
                s->failure = BodyError::too_large;
                break;
            }
            if (!s->body.empty()) {
                if (!s->closed && !c->done) {
                    nghttp2_session_consume_stream(c->session.get(), s->id, s->body.size());
                    c->want_write->notify_one();
                }
                if (got.empty()) {
                    got = std::exchange(s->body, {});
                } else {
                    got += s->body;
                    s->body.clear();
                }
            }
            if (s->body_ended)
                break;
            if (s->closed || c->done) {
                s->failure = BodyError::broken;
                break;
            }
            if (!s->body_event)
                s->body_event = std::make_shared<Notify>();
            co_await s->body_event->wait();
        }
        s->phase = BodyPhase::finished;
        s->drop_body();
        if (s->failure)
            co_return *s->failure;
        co_return std::move(got);
    }

    void submit(Stream& s, HttpResponse answer)
    {
        s.answered = true;
        std::string status = std::to_string(answer.status);
        std::string length = std::to_string(answer.body.size());
        std::string date = http_date();
        auto nv = [](std::string_view name, std::string_view value) {
            return nghttp2_nv{reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                              reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
                              value.size(), NGHTTP2_NV_FLAG_NONE};
        };
        std::vector<nghttp2_nv> headers{nv(":status", status)};
        if (!answer.content_type.empty())
            headers.push_back(nv("content-type", answer.content_type));
        headers.push_back(nv("content-length", length));
        headers.push_back(nv("date", date));

        bool head = s.method == "HEAD";
        if (head || answer.body.empty()) {
            nghttp2_submit_response(session.get(), s.id, headers.data(), headers.size(), nullptr);
            return;
        }
        s.answer_body = std::move(answer.body);
        unsent += s.answer_body.size();
        nghttp2_data_provider provider{};
        provider.read_callback = &Connection::read_answer;
        nghttp2_submit_response(session.get(), s.id, headers.data(), headers.size(), &provider);
    }

    // --- the connection's two loops

    asio::awaitable<void> reader(std::string initial)
    {
        std::vector<std::uint8_t> buf(16 * 1024);
        Notify never;
        std::string_view pending = initial;
        for (;;) {
            // Over the unsent limit with the socket not taking our bytes
            // either: the peer reads nothing, so read nothing of it.
            while (over_limit() && writing)
                co_await may_read->wait();
            if (!pending.empty()) {
                auto rv = nghttp2_session_mem_recv(session.get(), reinterpret_cast<const std::uint8_t*>(pending.data()),
                                                   pending.size());
                pending = {};
                run_deferred();
                want_write->notify_one();
                if (rv < 0)
                    co_return;  // fatal: nothing more can be said on this connection
            }
            if (!nghttp2_session_want_read(session.get()))
                co_await never.wait();  // the writer ends the connection once it has said all
            auto [ec, n] = co_await socket.async_read_some(asio::buffer(buf), asio::as_tuple(asio::use_awaitable));
            if (ec)
                co_return;
            pending = std::string_view(reinterpret_cast<const char*>(buf.data()), n);
        }
    }

    asio::awaitable<void> writer()
    {
        std::vector<std::uint8_t> out;
        for (;;) {
            out.clear();
            while (out.size() < write_batch) {
                const std::uint8_t* data = nullptr;
                auto n = nghttp2_session_mem_send(session.get(), &data);
                if (n < 0)
                    co_return;
                if (n == 0)
                    break;
                out.insert(out.end(), data, data + n);
            }
            run_deferred();
            if (!out.empty()) {
                writing = true;
                auto [ec, n] = co_await asio::async_write(socket, asio::buffer(out), asio::as_tuple(asio::use_awaitable));
                writing = false;
                may_read->notify_one();
                if (ec)
                    co_return;
                continue;
            }
            if (!nghttp2_session_want_read(session.get()) && !nghttp2_session_want_write(session.get()))
                co_return;
            co_await want_write->wait();
        }
    }

    void end()
    {
        done = true;
        for (auto& [id, s] : streams) {
            s->closed = true;
            s->body_changed();
            if (s->task_running)
                to_cancel.push_back(s);
        }
        streams.clear();
        to_start.clear();
        run_deferred();
    }
};

std::unique_ptr<nghttp2_session_callbacks, void (*)(nghttp2_session_callbacks*)> make_callbacks()
{
    nghttp2_session_callbacks* cb = nullptr;
    if (nghttp2_session_callbacks_new(&cb) != 0)
        throw std::bad_alloc();
    nghttp2_session_callbacks_set_on_begin_headers_callback(cb, &Connection::on_begin_headers);
    nghttp2_session_callbacks_set_on_header_callback(cb, &Connection::on_header);
    nghttp2_session_callbacks_set_on_frame_recv_callback(cb, &Connection::on_frame_recv);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cb, &Connection::on_data_chunk);
    nghttp2_session_callbacks_set_on_stream_close_callback(cb, &Connection::on_stream_close);
    return {cb, &nghttp2_session_callbacks_del};
}

}  // namespace

asio::awaitable<void> serve_h2(tcp::socket& socket, boost::beast::flat_buffer& buffer, const HttpService& service)
{
    // Window updates and answers go out as small writes of their own: not
    // held back waiting for the peer's acknowledgements.
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto c = std::make_shared<Connection>(socket, service, co_await asio::this_coro::executor);
    {
        auto callbacks = make_callbacks();
        nghttp2_option* raw_options = nullptr;
        if (nghttp2_option_new(&raw_options) != 0)
            co_return;
        std::unique_ptr<nghttp2_option, void (*)(nghttp2_option*)> options(raw_options, &nghttp2_option_del);
        // Window updates follow what the services read (see on_data_chunk, read_body).
        nghttp2_option_set_no_auto_window_update(options.get(), 1);
        nghttp2_session* raw = nullptr;
        if (nghttp2_session_server_new2(&raw, callbacks.get(), c.get(), options.get()) != 0)
            co_return;
        c->session.reset(raw);
    }
    nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, h2_max_concurrent_streams},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, header_list_limit},
    };
    if (nghttp2_submit_settings(c->session.get(), NGHTTP2_FLAG_NONE, settings, std::size(settings)) != 0)
        co_return;

    auto data = buffer.cdata();
    std::string initial(static_cast<const char*>(data.data()), data.size());
    buffer.consume(buffer.size());
    try {
        co_await (c->reader(std::move(initial)) || c->writer());
    } catch (...) {
    }
    c->end();
    // Cancelled stream tasks answer nothing; wait for them to be gone.
    while (c->running > 0)
        co_await c->all_ended->wait();
}

}  // namespace murlo::runtime::detail
