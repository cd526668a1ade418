"""HTTP/2 frames and HPACK blocks written by hand, for what python3-h2 will not
send (header bombs, streams opened out of order). Used by the wire tests and the
header-flood benchmark."""

DATA, HEADERS, PRIORITY, RST_STREAM, SETTINGS, GOAWAY, CONTINUATION = 0, 1, 2, 3, 4, 7, 9
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
