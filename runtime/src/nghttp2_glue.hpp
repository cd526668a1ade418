#pragma once
// What the HTTP/2 server connection and the h2c client connection share of
// nghttp2: owning handles, header fields, the callback table and the batch of
// frames to write.

#include <nghttp2/nghttp2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

namespace murlo::runtime::h2 {

// Bytes gathered from a session into one socket write.
inline constexpr std::size_t write_batch = 64 * 1024;

struct SessionDeleter {
    void operator()(nghttp2_session* s) const { nghttp2_session_del(s); }
};
using Session = std::unique_ptr<nghttp2_session, SessionDeleter>;

struct CallbacksDeleter {
    void operator()(nghttp2_session_callbacks* c) const { nghttp2_session_callbacks_del(c); }
};
using Callbacks = std::unique_ptr<nghttp2_session_callbacks, CallbacksDeleter>;

// A header field borrowing its name and value; nghttp2 copies both when the
// frame is submitted.
inline nghttp2_nv field(std::string_view name, std::string_view value) {
    return nghttp2_nv{reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                      reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
                      NGHTTP2_NV_FLAG_NONE};
}

// The callbacks a connection wants; the ones left null are not set.
struct CallbackSet {
    nghttp2_on_begin_frame_callback on_begin_frame = nullptr;
    nghttp2_on_begin_headers_callback on_begin_headers = nullptr;
    nghttp2_on_header_callback on_header = nullptr;
    nghttp2_on_frame_recv_callback on_frame_recv = nullptr;
    nghttp2_on_data_chunk_recv_callback on_data_chunk_recv = nullptr;
    nghttp2_on_stream_close_callback on_stream_close = nullptr;
    nghttp2_on_frame_send_callback on_frame_send = nullptr;
};

// A new callback table holding `set`.
inline Callbacks make_callbacks(const CallbackSet& set) {
    nghttp2_session_callbacks* raw = nullptr;
    if (nghttp2_session_callbacks_new(&raw) != 0) throw std::bad_alloc();
    Callbacks table(raw);
    if (set.on_begin_frame) nghttp2_session_callbacks_set_on_begin_frame_callback(raw, set.on_begin_frame);
    if (set.on_begin_headers) nghttp2_session_callbacks_set_on_begin_headers_callback(raw, set.on_begin_headers);
    if (set.on_header) nghttp2_session_callbacks_set_on_header_callback(raw, set.on_header);
    if (set.on_frame_recv) nghttp2_session_callbacks_set_on_frame_recv_callback(raw, set.on_frame_recv);
    if (set.on_data_chunk_recv) {
        nghttp2_session_callbacks_set_on_data_chunk_recv_callback(raw, set.on_data_chunk_recv);
    }
    if (set.on_stream_close) nghttp2_session_callbacks_set_on_stream_close_callback(raw, set.on_stream_close);
    if (set.on_frame_send) nghttp2_session_callbacks_set_on_frame_send_callback(raw, set.on_frame_send);
    return table;
}

// Appends the frames the session has ready to `out` until it holds at least
// `batch` bytes or nothing more is ready. False when the session failed.
inline bool take_frames(nghttp2_session* session, std::vector<std::uint8_t>& out, std::size_t batch) {
    while (out.size() < batch) {
        const std::uint8_t* data = nullptr;
        const auto n = nghttp2_session_mem_send(session, &data);
        if (n < 0) return false;
        if (n == 0) break;
        out.insert(out.end(), data, data + n);
    }
    return true;
}

// Neither side has anything more to say on this session.
inline bool said_all(nghttp2_session* session) {
    return !nghttp2_session_want_read(session) && !nghttp2_session_want_write(session);
}

}  // namespace murlo::runtime::h2
