// HTTP/2 through an nghttp2 server session driven by the socket: a reader
// feeds received bytes in, a writer sends what the session has to say. Once
// a request's head is in, the service is called after the session call that
// brought it: an answer it gives at once is submitted there and then (by
// then a small body has usually arrived with the head), and a task it
// returns runs on its own, cancelled if the client resets the stream.
// Everything of one connection runs on one thread at a time (its worker, or a
// strand), so the session is never used from two threads. nghttp2 callbacks
// only record what happened.
//
// What a peer can make the connection hold is bounded:
// - request bodies: the connection window opens as bytes arrive, a stream's
//   window only as its service reads (read_body hands the bytes over), so a
//   body nobody reads stays within the peer's stream window, and once the
//   service has returned what is left of it is dropped as it arrives. (No
//   RST_STREAM with NO_ERROR after an early answer: curl 7.88 then reports
//   the answer it already has as a stream error.)
// - answers: past unsent_limit bytes the peer has not taken, requests wait
//   before the service is called, and while a socket write is stuck as well
//   nothing more is read (window updates must still get in while the socket
//   is free);
// - header blocks: decoded bytes per stream are counted; past
//   header_list_limit the connection ends (GOAWAY ENHANCE_YOUR_CALM) and
//   nothing more of it is decoded, so a small block that decodes to a huge
//   one costs one block per connection.
// - stream resets: every RST_STREAM the peer sends takes a token from a
//   bucket (1,000, refilled by 33 a second, never above 1,000) and every
//   stream we served gives one back; once it is empty the connection ends
//   (GOAWAY ENHANCE_YOUR_CALM) and nothing more of it is decoded. A client
//   that cuts requests between requests we served (a member cutting its held
//   beat to beat again) never runs dry, however fast; one opening streams and
//   resetting them before they are served is sent away after about 1,000,
//   as by nghttp2's own guard, which is switched off for this one.
//
// A HEADERS frame that would open a stream below the highest stream id the
// client has used is a connection error (PROTOCOL_ERROR); nghttp2 drops such a
// frame without a word, so the frame headers are checked here.

#include <nghttp2/nghttp2.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/write.hpp>

#include "http_internal.hpp"
#include "murlo/runtime/notify.hpp"
#include "nghttp2_glue.hpp"

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
// The most write buffer a connection keeps between writes.
constexpr std::size_t keep_write_buffer = 16 * 1024;
// After our last frame, how long and how much of what the peer still sends
// is read and dropped before the socket is closed.
constexpr auto linger_time = std::chrono::seconds(1);
constexpr std::size_t linger_bytes = 1024 * 1024;
// Stream ids recently closed or reset, on which a late HEADERS (trailers the
// peer sent before it saw our reset) is left to nghttp2.
constexpr std::size_t recent_streams = 64;

// The peer's RST_STREAM frames, as a token bucket: it starts full, refills
// `per_second` tokens a second up to `burst`, and a reset takes one. The
// figures are nghttp2's own defaults.
class ResetBudget {
public:
    static constexpr std::uint64_t burst = 1000;
    static constexpr std::uint64_t per_second = 33;

    // False when no token is left.
    bool take(std::chrono::steady_clock::time_point now) {
        refill(now);
        if (tokens_ == 0) return false;
        --tokens_;
        return true;
    }
    void give_back() { tokens_ = std::min(tokens_ + 1, burst); }

private:
    static constexpr std::chrono::nanoseconds period{std::chrono::nanoseconds(std::chrono::seconds(1)).count() /
                                                     per_second};
    void refill(std::chrono::steady_clock::time_point now) {
        if (tokens_ == burst) {
            refilled_ = now;
            return;
        }
        const auto gained = (now - refilled_) / period;
        if (gained <= 0) return;
        tokens_ = std::min(burst, tokens_ + static_cast<std::uint64_t>(gained));
        refilled_ = tokens_ == burst ? now : refilled_ + gained * period;
    }
    std::uint64_t tokens_ = burst;
    std::chrono::steady_clock::time_point refilled_{};
};

enum class BodyPhase {
    unread,    // kept, within the stream's window, until the service asks
    reading,   // read_body takes the bytes as they arrive
    finished,  // the service has its result or has returned: bytes are dropped
};

// Where a request stands between its head and its answer.
enum class Phase {
    receiving,  // the head is coming in
    ready,      // the head is in: the service is called after the session call
    held_back,  // ready, but the peer is not taking our answers: waits for room
    serving,    // the service's task runs
    answered,   // the answer (or a reset) is submitted
    closed,     // nghttp2 is done with the stream, or the connection ended
};

struct Stream {
    std::int32_t id = 0;
    Phase phase = Phase::receiving;
    std::string method;
    std::string path;
    std::size_t header_bytes = 0;
    // Request body.
    BodyPhase body_phase = BodyPhase::unread;
    bool body_ended = false;   // END_STREAM has arrived
    std::string body;          // arrived, not yet handed to the service
    std::size_t received = 0;  // data bytes so far
    std::size_t limit = SIZE_MAX;
    std::optional<BodyError> failure;  // why the service got no body
    // Made only when a service waits for body bytes still to come; most bodies have
    // arrived by the time the service asks.
    std::shared_ptr<Notify> body_event;
    void body_changed() {
        if (body_event) body_event->notify_one();
    }
    // Answer.
    std::string answer_body;
    std::size_t answer_sent = 0;
    std::size_t unsent() const { return answer_body.size() - answer_sent; }
    void drop_answer() {
        std::string().swap(answer_body);
        answer_sent = 0;
    }
    void drop_body() { std::string().swap(body); }
    // Only a request whose service returned a task gets a cancellation signal.
    // The spawned task's completion keeps it too: Asio clears the slot after
    // the task's frame (and maybe the stream with it) is gone.
    std::shared_ptr<asio::cancellation_signal> cancel;
};

// Everything of one connection. Stream tasks hold it by shared_ptr, so the
// socket, the session and the service outlive every task by construction.
struct Connection : std::enable_shared_from_this<Connection> {
    Socket socket;
    HttpService service;
    asio::any_io_executor executor;
    h2::Session session;
    std::map<std::int32_t, std::shared_ptr<Stream>> streams;
    std::vector<std::shared_ptr<Stream>> to_start;
    std::vector<std::shared_ptr<Stream>> to_cancel;
    // Ready streams held back while the peer is not taking our answers, in order.
    std::deque<std::shared_ptr<Stream>> held_back;
    std::shared_ptr<Notify> want_write = std::make_shared<Notify>();
    // Answer bytes nghttp2 has not taken yet, summed over the streams.
    std::size_t unsent = 0;
    // A socket write is in progress; the reader waits on may_read while that
    // and the unsent limit both hold.
    bool writing = false;
    std::shared_ptr<Notify> may_read = std::make_shared<Notify>();
    bool done = false;  // the connection has ended; streams answer nothing more
    // We ended the session (GOAWAY submitted): nothing more is read or served.
    bool closing = false;
    // The session said all it had to: the peer may be told goodbye gently.
    bool said_all = false;
    // The highest stream id a HEADERS frame from the peer has carried.
    std::int32_t highest_stream = 0;
    std::array<std::int32_t, recent_streams> recent{};
    std::size_t recent_next = 0;
    ResetBudget resets;

    Connection(Socket s, HttpService svc)
        : socket(std::move(s)), service(std::move(svc)), executor(socket.get_executor()) {}

    static Connection& of(void* user) { return *static_cast<Connection*>(user); }

    Stream* find(std::int32_t id) {
        auto it = streams.find(id);
        return it == streams.end() ? nullptr : it->second.get();
    }

    bool over_limit() const { return unsent >= unsent_limit; }

    void remember(std::int32_t id) {
        recent[recent_next] = id;
        recent_next = (recent_next + 1) % recent.size();
    }

    bool known(std::int32_t id) const {
        return streams.count(id) != 0 || std::find(recent.begin(), recent.end(), id) != recent.end();
    }

    // Ends the session with a GOAWAY of `code`; the callback that calls this
    // returns NGHTTP2_ERR_CALLBACK_FAILURE, so the session call stops at once
    // and the bytes after it are never decoded.
    void terminate(std::uint32_t code) {
        closing = true;
        nghttp2_session_terminate_session(session.get(), code);
    }

    // --- nghttp2 callbacks: record, never start or resume anything here.

    static int on_begin_frame(nghttp2_session*, const nghttp2_frame_hd* hd, void* user) {
        if (hd->type != NGHTTP2_HEADERS) return 0;
        auto& c = of(user);
        if (hd->stream_id > c.highest_stream) {
            c.highest_stream = hd->stream_id;
            return 0;
        }
        // Trailers of an open stream, or a late frame on one just closed.
        if (c.known(hd->stream_id)) return 0;
        c.terminate(NGHTTP2_PROTOCOL_ERROR);
        return NGHTTP2_ERR_CALLBACK_FAILURE;
    }

    static int on_begin_headers(nghttp2_session*, const nghttp2_frame* frame, void* user) {
        if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
        auto s = std::make_shared<Stream>();
        s->id = frame->hd.stream_id;
        of(user).streams[s->id] = std::move(s);
        return 0;
    }

    static int on_header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name, std::size_t namelen,
                         const std::uint8_t* value, std::size_t valuelen, std::uint8_t, void* user) {
        if (frame->hd.type != NGHTTP2_HEADERS) return 0;
        Stream* s = of(user).find(frame->hd.stream_id);
        if (!s) return 0;
        s->header_bytes += namelen + valuelen + 32;
        if (s->header_bytes > header_list_limit) {
            // Resetting the stream alone would still decode the whole block to
            // keep the peer's header table in step: end the connection.
            of(user).terminate(NGHTTP2_ENHANCE_YOUR_CALM);
            return NGHTTP2_ERR_CALLBACK_FAILURE;
        }
        if (frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
        std::string_view n(reinterpret_cast<const char*>(name), namelen);
        std::string_view v(reinterpret_cast<const char*>(value), valuelen);
        if (n == ":method")
            s->method = v;
        else if (n == ":path")
            s->path = v;
        return 0;
    }

    static int on_frame_recv(nghttp2_session*, const nghttp2_frame* frame, void* user) {
        auto& c = of(user);
        if (frame->hd.type == NGHTTP2_RST_STREAM) return c.on_reset(frame->hd.stream_id);
        if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) return 0;
        auto it = c.streams.find(frame->hd.stream_id);
        if (it == c.streams.end()) return 0;
        auto& s = it->second;
        if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST &&
            s->phase == Phase::receiving) {
            s->phase = Phase::ready;
            c.to_start.push_back(s);
        }
        if (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) {
            s->body_ended = true;
            s->body_changed();
        }
        return 0;
    }

    // Every RST_STREAM counts, also one on a stream already closed (it may
    // have crossed our answer). Cutting a task that runs costs us what
    // answering it would have: it takes no token, as if it had taken one
    // and the answer had given it back.
    int on_reset(std::int32_t id) {
        const Stream* s = find(id);
        if (s && s->phase == Phase::serving) return 0;
        if (resets.take(std::chrono::steady_clock::now())) return 0;
        terminate(NGHTTP2_ENHANCE_YOUR_CALM);
        return NGHTTP2_ERR_CALLBACK_FAILURE;
    }

    static int on_data_chunk(nghttp2_session* session, std::uint8_t, std::int32_t id, const std::uint8_t* data,
                             std::size_t len, void* user) {
        // The connection's window opens at once: what a stream's service has
        // not read is held back by that stream's window alone, so one stream
        // never stalls the others.
        if (nghttp2_session_consume_connection(session, len) != 0) return NGHTTP2_ERR_CALLBACK_FAILURE;
        Stream* s = of(user).find(id);
        if (!s || s->body_phase == BodyPhase::finished) return 0;
        s->received += len;
        if (s->received > s->limit) {
            // Counted as it arrives: past the limit the rest is dropped.
            s->drop_body();
            s->body_changed();
            return 0;
        }
        s->body.append(reinterpret_cast<const char*>(data), len);
        if (s->body_phase == BodyPhase::reading) s->body_changed();
        return 0;
    }

    static int on_frame_send(nghttp2_session*, const nghttp2_frame* frame, void* user) {
        // A stream nghttp2 refused never opened: the peer may still send on it.
        if (frame->hd.type == NGHTTP2_RST_STREAM) of(user).remember(frame->hd.stream_id);
        return 0;
    }

    static int on_stream_close(nghttp2_session*, std::int32_t id, std::uint32_t, void* user) {
        auto& c = of(user);
        c.remember(id);
        auto it = c.streams.find(id);
        if (it == c.streams.end()) return 0;
        auto s = std::move(it->second);
        c.streams.erase(it);
        c.unsent -= s->unsent();
        s->drop_answer();
        if (!s->body_ended) s->drop_body();  // cut off: it can only be broken now
        s->body_changed();
        // Closed before our answer went out: the client abandoned the request.
        const bool abandoned = s->phase == Phase::serving;
        s->phase = Phase::closed;
        if (abandoned) c.to_cancel.push_back(std::move(s));
        return 0;
    }

    static ssize_t read_answer(nghttp2_session*, std::int32_t id, std::uint8_t* buf, std::size_t length,
                               std::uint32_t* flags, nghttp2_data_source*, void* user) {
        auto& c = of(user);
        Stream* s = c.find(id);
        if (!s) return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
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

    void run_deferred() {
        for (auto& s : std::exchange(to_cancel, {})) {
            // Posted: the cancelled task resumes later, on this connection's thread.
            if (s->cancel)
                asio::post(executor, [s = std::move(s)] { s->cancel->emit(asio::cancellation_type::terminal); });
        }
        if (closing) {
            // The peer is not one we serve any more.
            to_start.clear();
            held_back.clear();
        }
        // Streams held back go first, in the order they came.
        while (!held_back.empty() && !over_limit()) {
            auto s = std::move(held_back.front());
            held_back.pop_front();
            if (s->phase == Phase::held_back) start(std::move(s));
        }
        for (auto& s : std::exchange(to_start, {})) {
            if (s->phase != Phase::ready) continue;  // abandoned before it began
            if (over_limit() || !held_back.empty()) {
                // The peer is not taking our answers: make no more for it until it does.
                s->phase = Phase::held_back;
                held_back.push_back(std::move(s));
                continue;
            }
            start(std::move(s));
        }
    }

    // --- serving a request

    // Calls the service: its answer is submitted at once, or its task spawned.
    void start(std::shared_ptr<Stream> s) {
        s->phase = Phase::serving;
        // The stream and the connection outlive the service call and its task.
        Stream* st = s.get();
        HttpRequest request{s->method, s->path, [this, st](std::size_t limit) { return read_body(*st, limit); },
                            [this, st](std::size_t limit) { return body_now(*st, limit); }};
        std::optional<HttpReply> reply;
        try {
            reply.emplace(service(std::move(request)));
        } catch (...) {
            finish(*s, std::nullopt);
            return;
        }
        if (auto* answer = std::get_if<HttpResponse>(&*reply)) {
            finish(*s, std::move(*answer));
            return;
        }
        auto signal = std::make_shared<asio::cancellation_signal>();
        s->cancel = signal;
        auto slot = signal->slot();
        asio::co_spawn(executor, run_stream(shared_from_this(), std::move(s), std::get<1>(std::move(*reply))),
                       asio::bind_cancellation_slot(slot, [signal](std::exception_ptr) {}));
    }

    static asio::awaitable<void> run_stream(std::shared_ptr<Connection> c, std::shared_ptr<Stream> s,
                                            asio::awaitable<HttpResponse> task) {
        std::optional<HttpResponse> answer = co_await call_task(std::move(task));
        c->finish(*s, std::move(answer));
    }

    // The service is done with the stream: submit its answer, or a reset
    // when it failed.
    void finish(Stream& s, std::optional<HttpResponse> answer) {
        // Whatever the service left unread is not wanted.
        s.body_phase = BodyPhase::finished;
        s.drop_body();
        if (done || s.phase == Phase::closed) return;
        s.phase = Phase::answered;
        resets.give_back();  // the peer may cut one stream per stream served
        if (answer)
            submit(s, std::move(*answer));
        else
            nghttp2_submit_rst_stream(session.get(), NGHTTP2_FLAG_NONE, s.id, NGHTTP2_INTERNAL_ERROR);
        want_write->notify_one();
    }

    // Takes what has arrived, opening the stream's window by as much so that
    // the peer sends on only as far as the service reads; nothing to open
    // once the peer has sent all.
    void take_body(Stream& s, std::string& got) {
        if (s.body.empty()) return;
        if (!s.body_ended && s.phase != Phase::closed && !done) {
            nghttp2_session_consume_stream(session.get(), s.id, s.body.size());
            want_write->notify_one();
        }
        if (got.empty()) {
            got = std::exchange(s.body, {});
        } else {
            got += s.body;
            s.body.clear();
        }
    }

    std::optional<Body> body_now(Stream& s, std::size_t limit) {
        if (s.body_phase != BodyPhase::unread) return s.failure ? *s.failure : BodyError::taken;
        if (s.received > limit)
            s.failure = BodyError::too_large;
        else if (!s.body_ended && (s.phase == Phase::closed || done))
            s.failure = BodyError::broken;
        else if (!s.body_ended)
            return std::nullopt;
        s.body_phase = BodyPhase::finished;
        if (s.failure) {
            s.drop_body();
            return *s.failure;
        }
        std::string got;
        take_body(s, got);
        return got;
    }

    // Hands the body over as it arrives.
    asio::awaitable<Body> read_body(Stream& s, std::size_t limit) {
        if (s.body_phase != BodyPhase::unread) co_return s.failure ? *s.failure : BodyError::taken;
        s.body_phase = BodyPhase::reading;
        s.limit = limit;
        std::string got;
        for (;;) {
            if (s.received > limit) {
                s.failure = BodyError::too_large;
                break;
            }
            take_body(s, got);
            if (s.body_ended) break;
            if (s.phase == Phase::closed || done) {
                s.failure = BodyError::broken;
                break;
            }
            if (!s.body_event) s.body_event = std::make_shared<Notify>();
            co_await s.body_event->wait();
        }
        s.body_phase = BodyPhase::finished;
        s.drop_body();
        if (s.failure) co_return *s.failure;
        co_return std::move(got);
    }

    void submit(Stream& s, HttpResponse answer) {
        char status[8];
        char length[24];
        const auto status_end = std::to_chars(status, status + sizeof status, answer.status).ptr;
        const auto length_end = std::to_chars(length, length + sizeof length, answer.body.size()).ptr;
        const std::string& date = http_date();
        using h2::field;
        std::array<nghttp2_nv, 4> headers;
        std::size_t count = 0;
        headers[count++] = field(":status", std::string_view(status, status_end - status));
        if (!answer.content_type.empty()) headers[count++] = field("content-type", answer.content_type);
        headers[count++] = field("content-length", std::string_view(length, length_end - length));
        headers[count++] = field("date", date);

        bool head = s.method == "HEAD";
        if (head || answer.body.empty()) {
            nghttp2_submit_response(session.get(), s.id, headers.data(), count, nullptr);
            return;
        }
        s.answer_body = std::move(answer.body);
        unsent += s.answer_body.size();
        nghttp2_data_provider provider{};
        provider.read_callback = &Connection::read_answer;
        nghttp2_submit_response(session.get(), s.id, headers.data(), count, &provider);
    }

    // --- the connection's two loops

    // Hands received bytes to the session; false once the connection cannot go on.
    bool receive(std::string_view bytes) {
        auto rv =
            nghttp2_session_mem_recv(session.get(), reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        run_deferred();
        want_write->notify_one();
        // Below 0 and not ours: fatal, nothing more can be said on this connection.
        return rv >= 0 || closing;
    }

    // Waits until the socket has bytes, then reads them into this thread's
    // buffer and hands them over before anything else runs: an idle
    // connection holds no read buffer of its own.
    asio::awaitable<void> reader(std::string initial) {
        thread_local std::array<char, 16 * 1024> buf;
        Notify never;
        if (!initial.empty() && !receive(initial)) co_return;
        std::string().swap(initial);
        boost::system::error_code ec;
        socket.non_blocking(true, ec);
        if (ec) co_return;
        for (;;) {
            // Over the unsent limit with the socket not taking our bytes
            // either: the peer reads nothing, so read nothing of it.
            while (over_limit() && writing) co_await may_read->wait();
            if (closing || !nghttp2_session_want_read(session.get()))
                co_await never.wait();  // the writer ends the connection once it has said all
            const std::size_t n = socket.read_some(asio::buffer(buf), ec);
            if (ec == asio::error::would_block) {
                auto [waited] = co_await socket.async_wait(tcp::socket::wait_read);
                if (waited) co_return;
                continue;
            }
            if (ec || !receive(std::string_view(buf.data(), n))) co_return;
        }
    }

    asio::awaitable<void> writer() {
        std::vector<std::uint8_t> out;
        for (;;) {
            out.clear();
            if (!h2::take_frames(session.get(), out, h2::write_batch)) co_return;
            run_deferred();
            if (!out.empty()) {
                writing = true;
                auto [ec, n] = co_await asio::async_write(socket, asio::buffer(out));
                writing = false;
                may_read->notify_one();
                if (ec) co_return;
                // A large answer's batch is not kept for an idle connection.
                if (out.capacity() > keep_write_buffer) std::vector<std::uint8_t>().swap(out);
                continue;
            }
            if (h2::said_all(session.get())) {
                said_all = true;
                co_return;
            }
            co_await want_write->wait();
        }
    }

    // After our last frame (a GOAWAY, say) the peer may still be sending: a
    // close with its bytes unread would reset the connection, and the reset
    // can overtake what we said. So our side is shut and what arrives is
    // dropped, unread by the session, until the peer closes or a limit passes.
    asio::awaitable<void> linger() {
        boost::system::error_code ec;
        socket.non_blocking(true, ec);
        if (!ec) socket.shutdown(tcp::socket::shutdown_send, ec);
        if (ec) co_return;
        Timer timer(executor, linger_time);
        co_await (drain() || timer.async_wait());
    }

    asio::awaitable<void> drain() {
        std::size_t dropped = 0;
        while (dropped < linger_bytes) {
            // MSG_TRUNC: TCP drops the bytes without copying them anywhere.
            const ssize_t n = ::recv(socket.native_handle(), nullptr, linger_bytes - dropped, MSG_TRUNC | MSG_DONTWAIT);
            if (n > 0) {
                dropped += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                auto [waited] = co_await socket.async_wait(tcp::socket::wait_read);
                if (waited) co_return;
            } else if (n == 0 || errno != EINTR) {
                co_return;  // the peer has closed too
            }
        }
    }

    // The connection is over: tasks still running are cancelled and answer
    // nothing; they let go of the connection as they end. The socket is
    // closed by the caller.
    void end() {
        done = true;
        for (auto& [id, s] : streams) {
            if (s->phase == Phase::serving) to_cancel.push_back(s);
            s->phase = Phase::closed;
            s->body_changed();
        }
        streams.clear();
        to_start.clear();
        held_back.clear();
        run_deferred();
    }
};

h2::Callbacks make_callbacks() {
    return h2::make_callbacks({.on_begin_frame = &Connection::on_begin_frame,
                               .on_begin_headers = &Connection::on_begin_headers,
                               .on_header = &Connection::on_header,
                               .on_frame_recv = &Connection::on_frame_recv,
                               .on_data_chunk_recv = &Connection::on_data_chunk,
                               .on_stream_close = &Connection::on_stream_close,
                               .on_frame_send = &Connection::on_frame_send});
}

}  // namespace

asio::awaitable<void> serve_h2(Socket socket, boost::beast::flat_buffer& buffer, HttpService service) {
    // Window updates and answers go out as small writes of their own: not
    // held back waiting for the peer's acknowledgements.
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto c = std::make_shared<Connection>(std::move(socket), std::move(service));
    {
        auto callbacks = make_callbacks();
        nghttp2_option* raw_options = nullptr;
        if (nghttp2_option_new(&raw_options) != 0) co_return;
        std::unique_ptr<nghttp2_option, void (*)(nghttp2_option*)> options(raw_options, &nghttp2_option_del);
        // Window updates follow what the services read (see on_data_chunk, take_body).
        nghttp2_option_set_no_auto_window_update(options.get(), 1);
        // Resets are counted by the connection (see on_reset), which knows
        // which streams were served: nghttp2's own guard is out of reach.
        nghttp2_option_set_stream_reset_rate_limit(options.get(), UINT64_MAX, UINT64_MAX);
        nghttp2_session* raw = nullptr;
        if (nghttp2_session_server_new2(&raw, callbacks.get(), c.get(), options.get()) != 0) co_return;
        c->session.reset(raw);
    }
    nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, h2_max_concurrent_streams},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, header_list_limit},
    };
    if (nghttp2_submit_settings(c->session.get(), NGHTTP2_FLAG_NONE, settings, std::size(settings)) != 0) co_return;

    auto data = buffer.cdata();
    std::string initial(static_cast<const char*>(data.data()), data.size());
    buffer.consume(buffer.size());
    buffer.shrink_to_fit();
    try {
        co_await (c->reader(std::move(initial)) || c->writer());
        c->end();
        if (c->said_all) co_await c->linger();
    } catch (...) {
        c->end();
    }
    c->socket.close(ignored);
}

}  // namespace murlo::runtime::detail
