"""HTTP/2 frames and HPACK blocks written by hand, for what python3-h2 will not
send (header bombs, streams opened out of order), and a connection that speaks
them. Used by the wire tests and the header-flood benchmark."""

import time

from loopback import recv_before

DATA, HEADERS, PRIORITY, RST_STREAM, SETTINGS, PING, GOAWAY, CONTINUATION = 0, 1, 2, 3, 4, 6, 7, 9
END_STREAM, ACK, END_HEADERS = 1, 1, 4
PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


def frame(kind, flags, stream, payload=b""):
    return len(payload).to_bytes(3, "big") + bytes([kind, flags]) + stream.to_bytes(4, "big") + payload


def hpack_string(text):
    """A literal string without Huffman coding: 7-bit prefixed length, then the bytes."""
    n = len(text)
    if n < 127:
        return bytes([n]) + text
    out, n = bytearray([127]), n - 127
    while n >= 128:
        out.append(n % 128 + 128)
        n //= 128
    return bytes(out) + bytes([n]) + text


def request_block(path):
    """:method GET, :scheme http (static table), :path and :authority as literals
    that are not indexed, so the server's header table stays as it was."""
    return b"\x82\x86" + b"\x04" + hpack_string(path) + b"\x01" + hpack_string(b"x")


def split_frames(buf):
    """The whole frames at the start of `buf` as (kind, flags, stream, payload), and the bytes after them."""
    frames = []
    while len(buf) >= 9 and len(buf) >= 9 + int.from_bytes(buf[:3], "big"):
        n = int.from_bytes(buf[:3], "big")
        frames.append((buf[3], buf[4], int.from_bytes(buf[5:9], "big") & 0x7FFFFFFF, buf[9:9 + n]))
        buf = buf[9 + n:]
    return frames, buf


class RawConnection:
    """One HTTP/2 connection spoken in raw frames over `sock`, connected and
    with the preface sent; the server's frames are read as they come, its
    SETTINGS acknowledged, and what they say is kept."""

    def __init__(self, sock):
        import hpack

        self.sock = sock
        self.buf = b""
        self.decoder = hpack.Decoder()
        self.status, self.body, self.ended, self.resets = {}, {}, set(), {}
        self.goaway = None  # the error code of the server's GOAWAY
        self.goaway_last = None  # and its last stream id
        self.ping_acks = 0
        self.closed = False

    def send(self, *frames):
        self.sock.sendall(b"".join(frames))

    def read_until(self, done, timeout=10):
        """Reads until done() holds (True) or the server closes (done() then)."""
        deadline = time.monotonic() + timeout
        while not done():
            try:
                data = recv_before(self.sock, deadline)
            except ConnectionResetError:
                data = b""
            if not data:
                self.closed = True
                return done()
            self.buf += data
            frames, self.buf = split_frames(self.buf)
            for kind, flags, stream, payload in frames:
                if kind == SETTINGS and not flags & ACK:
                    self.send(frame(SETTINGS, ACK, 0))
                elif kind == HEADERS:
                    self.status[stream] = dict(self.decoder.decode(payload))[":status"]
                elif kind == DATA:
                    self.body[stream] = self.body.get(stream, b"") + payload
                elif kind == RST_STREAM:
                    self.resets[stream] = int.from_bytes(payload, "big")
                elif kind == PING and flags & ACK:
                    self.ping_acks += 1
                elif kind == GOAWAY:
                    self.goaway_last = int.from_bytes(payload[:4], "big") & 0x7FFFFFFF
                    self.goaway = int.from_bytes(payload[4:8], "big")
                if kind in (HEADERS, DATA) and flags & END_STREAM:
                    self.ended.add(stream)
        return True

    def close(self):
        self.sock.close()
