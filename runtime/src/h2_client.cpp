// The h2c client: an nghttp2 client session per connection, driven by a
// reader, a writer and an idle watch racing in one task on the owner's
// executor. Everything of one client runs there, so sessions, streams and the
// pool need no locks. nghttp2 callbacks only record and notify.

#include "murlo/runtime/h2_client.hpp"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/write.hpp>
#include <boost/url/parse.hpp>

#include "murlo/runtime/asio.hpp"
#include "murlo/runtime/notify.hpp"
#include "murlo/runtime/runtime.hpp"
#include "nghttp2_glue.hpp"

namespace murlo::runtime {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using boost::system::error_code;

Deadline deadline_after(std::uint64_t ms) {
    const auto now = std::chrono::steady_clock::now();
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline::max() - now).count();
    if (ms >= static_cast<std::uint64_t>(room)) return Deadline::max();
    return now + std::chrono::milliseconds(ms);
}

std::string ClientError::text() const {
    std::string out;
    switch (kind) {
        case Kind::connect:
            out = "client error (Connect)";
            break;
        case Kind::absolute_uri_required:
            out = "client error (AbsoluteUriRequired)";
            break;
        case Kind::send_request:
            out = "client error (SendRequest)";
            break;
        case Kind::goaway:
            out = "client error (GoAway)";
            break;
    }
    if (!detail.empty()) out.append(": ").append(detail);
    return out;
}

namespace detail {

namespace {

// Receive windows: a whole roster of several MiB arrives without waiting for
// a round trip per 64 KiB; nghttp2 sends WINDOW_UPDATEs as bytes are consumed.
constexpr std::int32_t stream_window = 4 * 1024 * 1024;
constexpr std::int32_t connection_window = 16 * 1024 * 1024;

std::string_view code_name(std::uint32_t code) {
    switch (code) {
        case NGHTTP2_NO_ERROR:
            return "NO_ERROR";
        case NGHTTP2_PROTOCOL_ERROR:
            return "PROTOCOL_ERROR";
        case NGHTTP2_INTERNAL_ERROR:
            return "INTERNAL_ERROR";
        case NGHTTP2_FLOW_CONTROL_ERROR:
            return "FLOW_CONTROL_ERROR";
        case NGHTTP2_SETTINGS_TIMEOUT:
            return "SETTINGS_TIMEOUT";
        case NGHTTP2_STREAM_CLOSED:
            return "STREAM_CLOSED";
        case NGHTTP2_FRAME_SIZE_ERROR:
            return "FRAME_SIZE_ERROR";
        case NGHTTP2_REFUSED_STREAM:
            return "REFUSED_STREAM";
        case NGHTTP2_CANCEL:
            return "CANCEL";
        case NGHTTP2_COMPRESSION_ERROR:
            return "COMPRESSION_ERROR";
        case NGHTTP2_CONNECT_ERROR:
            return "CONNECT_ERROR";
        case NGHTTP2_ENHANCE_YOUR_CALM:
            return "ENHANCE_YOUR_CALM";
        case NGHTTP2_INADEQUATE_SECURITY:
            return "INADEQUATE_SECURITY";
        case NGHTTP2_HTTP_1_1_REQUIRED:
            return "HTTP_1_1_REQUIRED";
        default:
            return "an unknown code";
    }
}

}  // namespace

// Waits for `event` or the deadline, whichever comes first; the caller looks at what changed.
asio::awaitable<void> wait_until(Notify& event, Deadline deadline) {
    Timer timer(co_await asio::this_coro::executor);
    timer.expires_at(deadline);
    co_await (event.wait() || timer.async_wait());
}

struct H2Conn;

struct H2Stream {
    std::weak_ptr<H2Conn> conn;
    std::int32_t id = -1;
    std::string request_body;
    std::size_t request_sent = 0;
    std::optional<unsigned> status;  // the final status, once the head has arrived
    std::string body;
    bool ended = false;   // END_STREAM received
    bool closed = false;  // nghttp2 is done with the stream (or its connection ended)
    std::string failure;  // why it closed before the end
    std::shared_ptr<Notify> event = std::make_shared<Notify>();

    void changed() { event->notify_one(); }
    void close(std::string why) {
        if (closed) return;
        closed = true;
        if (!ended && failure.empty()) failure = std::move(why);
        changed();
    }
    void reset();
};

struct H2Conn : std::enable_shared_from_this<H2Conn> {
    Socket socket;
    std::string key;  // host and port: which requests may share it
    h2::Session session;
    std::map<std::int32_t, std::shared_ptr<H2Stream>> streams;
    std::shared_ptr<Notify> want_write = std::make_shared<Notify>();
    std::shared_ptr<Notify> idle_changed = std::make_shared<Notify>();
    std::chrono::steady_clock::time_point idle_since = std::chrono::steady_clock::now();
    std::chrono::milliseconds idle_timeout;
    bool ended = false;  // no more requests: closed, broken or told to go away
    bool goaway = false;
    std::uint32_t goaway_code = 0;
    // Ended by this side (the idle timeout, the client's end), not by the server.
    bool closed_here = false;
    std::shared_ptr<Notify> peer_closed;

    H2Conn(Socket s, std::string k, std::chrono::milliseconds idle)
        : socket(std::move(s)), key(std::move(k)), idle_timeout(idle) {}

    static H2Conn& of(void* user) { return *static_cast<H2Conn*>(user); }

    H2Stream* find(std::int32_t id) {
        auto it = streams.find(id);
        return it == streams.end() ? nullptr : it->second.get();
    }

    bool usable() const {
        if (ended || goaway || !session) return false;
        const auto limit = nghttp2_session_get_remote_settings(session.get(), NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS);
        return streams.size() < limit;
    }

    // --- nghttp2 callbacks

    static int on_header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name, std::size_t namelen,
                         const std::uint8_t* value, std::size_t valuelen, std::uint8_t, void* user) {
        if (frame->hd.type != NGHTTP2_HEADERS) return 0;
        H2Stream* s = of(user).find(frame->hd.stream_id);
        if (!s || s->status) return 0;
        std::string_view n(reinterpret_cast<const char*>(name), namelen);
        if (n != ":status") return 0;
        unsigned code = 0;
        for (std::size_t i = 0; i < valuelen; ++i) code = code * 10 + static_cast<unsigned>(value[i] - '0');
        // Informational answers (1xx) are not the reply.
        if (code >= 200) s->status = code;
        return 0;
    }

    static int on_frame_recv(nghttp2_session*, const nghttp2_frame* frame, void* user) {
        auto& c = of(user);
        if (frame->hd.type == NGHTTP2_GOAWAY) {
            c.goaway = true;
            c.goaway_code = frame->goaway.error_code;
            return 0;
        }
        if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) return 0;
        H2Stream* s = c.find(frame->hd.stream_id);
        if (!s) return 0;
        if (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) s->ended = s->status.has_value();
        s->changed();
        return 0;
    }

    static int on_data_chunk(nghttp2_session*, std::uint8_t, std::int32_t id, const std::uint8_t* data, std::size_t len,
                             void* user) {
        if (H2Stream* s = of(user).find(id)) s->body.append(reinterpret_cast<const char*>(data), len);
        return 0;
    }

    static int on_stream_close(nghttp2_session*, std::int32_t id, std::uint32_t code, void* user) {
        auto& c = of(user);
        auto it = c.streams.find(id);
        if (it == c.streams.end()) return 0;
        auto s = std::move(it->second);
        c.streams.erase(it);
        s->close("the stream was reset with " + std::string(code_name(code)));
        if (c.streams.empty()) {
            c.idle_since = std::chrono::steady_clock::now();
            c.idle_changed->notify_one();
        }
        return 0;
    }

    static ssize_t read_request(nghttp2_session*, std::int32_t id, std::uint8_t* buf, std::size_t length,
                                std::uint32_t* flags, nghttp2_data_source* source, void*) {
        auto* s = static_cast<H2Stream*>(source->ptr);
        const std::size_t n = std::min(length, s->request_body.size() - s->request_sent);
        std::memcpy(buf, s->request_body.data() + s->request_sent, n);
        s->request_sent += n;
        if (s->request_sent == s->request_body.size()) {
            *flags |= NGHTTP2_DATA_FLAG_EOF;
            std::string().swap(s->request_body);
            s->request_sent = 0;
        }
        return static_cast<ssize_t>(n);
    }

    // --- the connection's task

    asio::awaitable<void> reader() {
        std::vector<std::uint8_t> buf(64 * 1024);
        for (;;) {
            auto [ec, n] = co_await socket.async_read_some(asio::buffer(buf));
            if (ec) co_return;
            const auto rv = nghttp2_session_mem_recv(session.get(), buf.data(), n);
            want_write->notify_one();
            if (rv < 0) co_return;  // the peer broke the protocol: nothing more can be said here
        }
    }

    asio::awaitable<void> writer() {
        std::vector<std::uint8_t> out;
        for (;;) {
            out.clear();
            if (!h2::take_frames(session.get(), out, h2::write_batch)) co_return;
            if (!out.empty()) {
                auto [ec, n] = co_await asio::async_write(socket, asio::buffer(out));
                if (ec) co_return;
                continue;
            }
            if (h2::said_all(session.get())) co_return;
            co_await want_write->wait();
        }
    }

    asio::awaitable<void> idle_watch() {
        Timer timer(co_await asio::this_coro::executor);
        for (;;) {
            if (!streams.empty()) {
                co_await idle_changed->wait();
                continue;
            }
            const auto at = idle_since + idle_timeout;
            if (std::chrono::steady_clock::now() >= at) {
                closed_here = true;
                co_return;
            }
            timer.expires_at(at);
            co_await timer.async_wait();
        }
    }

    static asio::awaitable<void> run(std::shared_ptr<H2Conn> c) {
        try {
            co_await (c->reader() || c->writer() || c->idle_watch());
        } catch (...) {
        }
        c->finish();
    }

    // The server's word for why it closed the connection, if it said one.
    std::string goaway_text() const {
        return "the registry closed the connection (GOAWAY " + std::string(code_name(goaway_code)) + ")";
    }

    ClientError closed_error() const {
        if (goaway) return ClientError{ClientError::Kind::goaway, std::string(code_name(goaway_code))};
        return ClientError{ClientError::Kind::send_request};
    }

    // The connection is over: its streams fail, its socket closes.
    void finish() {
        const bool was_ended = ended;
        ended = true;
        for (auto& [id, s] : std::exchange(streams, {})) s->close(goaway ? goaway_text() : "the connection closed");
        error_code ignored;
        socket.close(ignored);
        if (!was_ended && !closed_here && peer_closed) peer_closed->notify_one();
    }

    // Starts a request; false when the session refuses it.
    bool submit(const std::shared_ptr<H2Stream>& s, std::string_view method, std::string_view scheme,
                std::string_view authority, std::string_view path, std::string_view content_type) {
        using h2::field;
        const std::string length = std::to_string(s->request_body.size());
        std::vector<nghttp2_nv> headers{field(":method", method), field(":scheme", scheme),
                                        field(":authority", authority), field(":path", path)};
        if (!content_type.empty()) headers.push_back(field("content-type", content_type));
        headers.push_back(field("content-length", length));
        nghttp2_data_provider provider{};
        provider.source.ptr = s.get();
        provider.read_callback = &H2Conn::read_request;
        const bool has_body = !s->request_body.empty();
        const std::int32_t id = nghttp2_submit_request(session.get(), nullptr, headers.data(), headers.size(),
                                                       has_body ? &provider : nullptr, nullptr);
        if (id < 0) return false;
        s->id = id;
        s->conn = weak_from_this();
        streams[id] = s;
        idle_changed->notify_one();
        want_write->notify_one();
        return true;
    }
};

void H2Stream::reset() {
    if (closed) return;
    closed = true;
    auto c = conn.lock();
    if (!c || c->ended || !c->session) return;
    nghttp2_submit_rst_stream(c->session.get(), NGHTTP2_FLAG_NONE, id, NGHTTP2_CANCEL);
    c->want_write->notify_one();
}

struct H2Pool {
    asio::any_io_executor executor;
    H2ClientOptions options;
    std::vector<std::shared_ptr<H2Conn>> conns;
    std::shared_ptr<Notify> peer_closed = std::make_shared<Notify>();
    bool closed = false;  // the client is gone: requests still in flight open nothing

    std::shared_ptr<H2Conn> pick(const std::string& key) {
        std::erase_if(conns, [](const auto& c) { return c->ended; });
        for (auto& c : conns)
            if (c->key == key && c->usable()) return c;
        return nullptr;
    }

    void close_all() {
        closed = true;
        for (auto& c : conns) {
            c->closed_here = true;
            c->ended = true;
            error_code ignored;
            c->socket.close(ignored);
        }
        conns.clear();
    }
};

namespace {

struct Target {
    std::string scheme;
    std::string host;  // without brackets
    bool literal = false;
    std::uint16_t port = 80;
    std::string authority;
    std::string path;
};

// The parts of an absolute URI the request needs; a failure when it has no
// scheme or no authority, or is not a URI reference at all.
std::optional<Target> split_target(std::string_view text) {
    auto parsed = boost::urls::parse_uri_reference(text);
    if (!parsed || !parsed->has_scheme() || !parsed->has_authority()) return std::nullopt;
    const auto& u = *parsed;
    Target t;
    t.scheme = u.scheme();
    t.host = u.host_address();
    t.literal = u.host_type() == boost::urls::host_type::ipv4 || u.host_type() == boost::urls::host_type::ipv6;
    // A port out of range reads as 0, where nothing can be reached.
    if (u.has_port() && !u.port().empty()) t.port = u.port_number();
    t.authority = u.encoded_host_and_port();
    t.path = u.encoded_path();
    if (t.path.empty()) t.path = "/";
    if (u.has_query()) {
        t.path += '?';
        t.path += u.encoded_query();
    }
    return t;
}

template <class T>
struct Finished {
    T value;
};

template <class T>
asio::awaitable<Finished<T>> finished(asio::awaitable<T> op) {
    // Awaited apart from the braces: GCC 12 destroys what a co_await inside a
    // braced initialiser made twice.
    T value = co_await std::move(op);
    co_return Finished<T>{std::move(value)};
}

// The operation's result, or nothing when the deadline came first. The result
// is boxed for the race: the awaitable operators spread a variant result into
// the race's own variant, where a resolver's failure would read as the timer.
template <class Op>
auto before(Deadline deadline, Op op) -> asio::awaitable<std::optional<typename Op::value_type>> {
    Timer timer(co_await asio::this_coro::executor);
    timer.expires_at(deadline);
    // Named, not a temporary of the awaited expression: GCC 12 destroys such
    // temporaries twice when the frame is dropped while it waits.
    auto boxed = finished(std::move(op));
    auto r = co_await (std::move(boxed) || timer.async_wait());
    if (r.index() == 0) co_return std::get<0>(std::move(r)).value;
    co_return std::nullopt;
}

using Connected = std::variant<Socket, ClientError, TimedOut>;

asio::awaitable<Connected> open_socket(const Target& t, const Connector& connector, Deadline deadline) {
    auto ex = co_await asio::this_coro::executor;
    const ClientError connect_error{ClientError::Kind::connect};
    std::vector<tcp::endpoint> addresses;
    if (t.literal) {
        error_code ec;
        auto address = asio::ip::make_address(t.host, ec);
        if (ec) co_return connect_error;
        addresses.emplace_back(address, t.port);
    } else {
        auto found = co_await before(deadline, lookup_host(t.host, t.port));
        if (!found) co_return TimedOut{};
        if (auto* failed = std::get_if<LookupError>(&*found))
            co_return ClientError{ClientError::Kind::connect, "failed to lookup address information: " + failed->text};
        addresses = std::get<std::vector<tcp::endpoint>>(std::move(*found));
    }
    for (const auto& address : addresses) {
        Socket socket(ex);
        auto attempt = [&]() -> asio::awaitable<error_code> {
            auto [ec] = co_await socket.async_connect(address);
            co_return ec;
        };
        auto ec = co_await before(deadline, attempt());
        if (!ec) co_return TimedOut{};
        if (*ec) continue;
        if (connector.nodelay) {
            error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
        }
        co_return std::move(socket);
    }
    co_return connect_error;
}

h2::Callbacks make_callbacks() {
    return h2::make_callbacks({.on_header = &H2Conn::on_header,
                               .on_frame_recv = &H2Conn::on_frame_recv,
                               .on_data_chunk_recv = &H2Conn::on_data_chunk,
                               .on_stream_close = &H2Conn::on_stream_close});
}

// Built when the library loads, not at the first connection: a fork that came
// while another thread built a function-local static would leave the child's
// first connection waiting on that initialisation for ever.
const h2::Callbacks client_callbacks = make_callbacks();

// A connection with its session set up, its task started and pooled.
std::shared_ptr<H2Conn> start_conn(H2Pool& pool, Socket socket, std::string key) {
    auto c = std::make_shared<H2Conn>(std::move(socket), std::move(key), pool.options.idle_timeout);
    c->peer_closed = pool.peer_closed;
    nghttp2_session* raw = nullptr;
    if (nghttp2_session_client_new(&raw, client_callbacks.get(), c.get()) != 0) return nullptr;
    c->session.reset(raw);
    nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
                                         {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, stream_window}};
    if (nghttp2_submit_settings(raw, NGHTTP2_FLAG_NONE, settings, std::size(settings)) != 0 ||
        nghttp2_session_set_local_window_size(raw, NGHTTP2_FLAG_NONE, 0, connection_window) != 0)
        return nullptr;
    pool.conns.push_back(c);
    asio::co_spawn(pool.executor, H2Conn::run(c), asio::detached);
    return c;
}

// Resets the stream when the request is abandoned before a response owns it.
struct StreamGuard {
    std::shared_ptr<H2Stream> stream;
    ~StreamGuard() {
        if (stream) stream->reset();
    }
};

asio::awaitable<std::variant<H2Response, ClientError, TimedOut>> send(std::shared_ptr<H2Pool> pool, std::string method,
                                                                      std::string target, std::string content_type,
                                                                      std::string body, Deadline deadline) {
    auto t = split_target(target);
    if (!t) co_return ClientError{ClientError::Kind::absolute_uri_required};
    if (t->scheme != "http") co_return ClientError{ClientError::Kind::connect};
    const std::string key = t->host + " " + std::to_string(t->port);

    auto conn = pool->pick(key);
    if (!conn) {
        auto opened = co_await open_socket(*t, pool->options.connector, deadline);
        if (auto* e = std::get_if<ClientError>(&opened)) co_return *e;
        if (std::holds_alternative<TimedOut>(opened)) co_return TimedOut{};
        if (pool->closed) co_return ClientError{ClientError::Kind::send_request};
        conn = start_conn(*pool, std::get<Socket>(std::move(opened)), key);
        if (!conn) co_return ClientError{ClientError::Kind::send_request};
    }
    auto stream = std::make_shared<H2Stream>();
    stream->request_body = std::move(body);
    if (conn->ended || !conn->submit(stream, method, t->scheme, t->authority, t->path, content_type))
        co_return ClientError{ClientError::Kind::send_request};
    StreamGuard guard{stream};
    // The head first: a head and the deadline ready together count as a reply.
    for (;;) {
        if (stream->status) break;
        if (stream->closed) co_return conn->closed_error();
        if (std::chrono::steady_clock::now() >= deadline) co_return TimedOut{};
        co_await wait_until(*stream->event, deadline);
    }
    co_return H2Response(std::move(guard.stream));
}

}  // namespace

}  // namespace detail

H2Response::H2Response(std::shared_ptr<detail::H2Stream> stream) : stream_(std::move(stream)) {}
H2Response::H2Response(H2Response&&) noexcept = default;
H2Response& H2Response::operator=(H2Response&& other) noexcept {
    if (this != &other) {
        if (stream_) stream_->reset();
        stream_ = std::move(other.stream_);
    }
    return *this;
}
H2Response::~H2Response() {
    if (stream_) stream_->reset();
}

unsigned H2Response::status() const { return stream_ ? stream_->status.value_or(0) : 0; }

asio::awaitable<std::variant<std::string, ReplyBodyError, TimedOut>> H2Response::body(Deadline deadline) {
    auto s = stream_;
    if (!s) co_return ReplyBodyError{"the body was already taken"};
    for (;;) {
        if (s->ended) {
            std::string out = std::move(s->body);
            co_return out;
        }
        if (s->closed) co_return ReplyBodyError{s->failure.empty() ? "the stream closed before its end" : s->failure};
        if (std::chrono::steady_clock::now() >= deadline) co_return TimedOut{};
        co_await detail::wait_until(*s->event, deadline);
    }
}

H2Client::H2Client(asio::any_io_executor executor, H2ClientOptions options)
    : pool_(std::make_shared<detail::H2Pool>()) {
    pool_->executor = std::move(executor);
    pool_->options = options;
}

H2Client::~H2Client() { pool_->close_all(); }

asio::awaitable<std::variant<H2Response, ClientError, TimedOut>> H2Client::request(std::string_view method,
                                                                                   std::string_view target,
                                                                                   std::string_view content_type,
                                                                                   std::string body,
                                                                                   Deadline deadline) {
    return detail::send(pool_, std::string(method), std::string(target), std::string(content_type), std::move(body),
                        deadline);
}

const std::shared_ptr<Notify>& H2Client::peer_closed() const { return pool_->peer_closed; }

std::size_t H2Client::connections() const {
    return static_cast<std::size_t>(
        std::count_if(pool_->conns.begin(), pool_->conns.end(), [](const auto& c) { return !c->ended; }));
}

}  // namespace murlo::runtime
