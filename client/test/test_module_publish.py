"""Publishing, the watch list, the bell and waiting, and the status methods of
a client that has not been started: none of them needs a registry."""

import os
import socket
import threading
import time

import pytest

from murlo_fixtures import murlo  # noqa: F401  (fixture)

LIMIT_MESSAGE = ("cannot watch {}: already subscribed to 64 pools, the limit is 64 including your own. "
                 "Look up fewer pool names, or split the work across processes.")


@pytest.fixture
def c(murlo):
    return murlo.Client("http://127.0.0.1:9", "p", 1, 1, "rr")


# --- set_state and set_state_only ------------------------------------------------


@pytest.mark.parametrize("first,second,changed", [
    (('{"a":1}', True), ('{"a":1}', True), False),
    (('{"a":1}', True), ('{"a":1.0}', True), True),        # number forms differ
    (('{"a":1.0}', True), ('{"a":1.00}', True), False),
    (('{"a":-1}', True), ('{"a":-1.0}', True), True),
    (('{"b":1,"a":2}', False), ('{"a":2,"b":1}', False), False),  # key order never matters
    (('{"a":{"y":[1,{"z":null}],"x":"s"}}', False), (' { "a" : { "x":"s", "y":[1,{"z":null}] } } ', False), False),
    (('{"a":1}', True), ('{"a":1}', False), True),         # readiness alone
    (('[1,2]', False), ('[2,1]', False), True),
    (('"x"', False), ('"x"', False), False),
    (('true', False), ('1', False), True),
    (('{"a":"\\u00e9"}', False), ('{"a":"\u00e9"}', False), False),  # same bytes once decoded
])
def test_set_state_changes_only_when_the_pair_differs_exactly(c, first, second, changed):
    assert c.set_state(*first) is True
    assert c.set_state(*second) is changed
    assert c.publish_versions() == (1 + changed, 0)
    assert c.is_ready() is second[1]


def test_the_initial_state_is_the_empty_object_not_ready(c):
    assert c.set_state("{}", False) is False
    assert c.set_state_only(" {} ") is False
    assert c.publish_versions() == (0, 0)
    assert c.stats()["state_bytes"] == 2


@pytest.mark.parametrize("text,message", [
    ("{bad", "key must be a string at line 1 column 2"),
    ('{"a":1} x', "trailing characters at line 1 column 9"),
    ("", "EOF while parsing a value at line 1 column 0"),
])
def test_text_that_is_not_one_json_value_changes_nothing(c, text, message):
    c.set_state('{"keep":1}', True)
    for call in (lambda: c.set_state(text, False), lambda: c.set_state_only(text)):
        with pytest.raises(RuntimeError) as e:
            call()
        assert str(e.value) == message
    assert c.publish_versions() == (1, 0)
    assert c.is_ready() is True
    assert c.stats()["state_bytes"] == len('{"keep":1}')
    assert c.set_state('{"keep":1}', True) is False


def test_set_state_only_leaves_readiness_alone(c):
    assert c.set_state('{"a":1}', True) is True
    assert c.set_state_only('{"a":1}') is False
    assert c.is_ready() is True
    assert c.set_state_only('{"a":2}') is True
    assert c.is_ready() is True
    assert c.publish_versions() == (2, 0)


def test_state_bytes_measures_compact_sorted_json(c):
    c.set_state_only('{ "b" : [1, 2.50],  "a" : "x" }')
    assert c.stats()["state_bytes"] == len('{"a":"x","b":[1,2.5]}')


# --- set_url ---------------------------------------------------------------------------


def test_set_url_moves_the_version_only_on_a_change(murlo, c):
    c.set_url()
    c.set_url(None)
    assert c.publish_versions() == (0, 0)
    c.set_url("http://a")
    c.set_url(url="http://a")
    assert c.publish_versions() == (1, 0)
    c.set_url()
    assert c.publish_versions() == (2, 0)
    with_url = murlo.Client("http://127.0.0.1:9", "p", 1, 1, "rr", url="http://a")
    with_url.set_url("http://a")
    assert with_url.publish_versions() == (0, 0)
    assert with_url.set_url("") is None
    assert with_url.publish_versions() == (1, 0)


# --- watch -------------------------------------------------------------------------------


def test_watch_keeps_first_additions_without_duplicates(c):
    c.watch(["a", "b", "a"])
    c.watch(("b", "c"))
    c.watch([])
    assert c.stats()["watched_pools"] == 3


def test_watch_limit_with_64_names(c):
    c.watch(["n%d" % i for i in range(64)])
    with pytest.raises(RuntimeError) as e:
        c.watch(["n3", "new"])
    assert str(e.value) == LIMIT_MESSAGE.format('"new"')
    assert c.stats()["watched_pools"] == 64
    c.watch(["n0", "n63"])  # all present: no error


def test_watch_limit_keeps_what_the_call_appended(c):
    c.watch(["n%d" % i for i in range(63)])
    with pytest.raises(RuntimeError) as e:
        c.watch(["first", "second", "third"])
    assert str(e.value) == LIMIT_MESSAGE.format('"second"')
    assert c.stats()["watched_pools"] == 64
    with pytest.raises(RuntimeError):
        c.watch(["third"])
    c.watch(["first"])


def test_watch_limit_message_quotes_the_name(c):
    c.watch(["n%d" % i for i in range(64)])
    with pytest.raises(RuntimeError) as e:
        c.watch(['it\'s "x"\\\n\t\u0301'])
    assert str(e.value) == LIMIT_MESSAGE.format('"it\'s \\"x\\"\\\\\\n\\t\\u{301}"')


# --- the bell ----------------------------------------------------------------------------


def drain(fd):
    got = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except BlockingIOError:
            return got
        if not chunk:
            return got
        got += chunk


def test_wake_descriptors_get_one_byte_per_registration(c):
    r, w = os.pipe()
    try:
        os.set_blocking(r, False)
        c.add_wake_fd(w)
        c.add_wake_fd(w)
        c.wake()
        assert drain(r) == b"\x01\x01"
        c.drop_wake_fd(w)
        c.drop_wake_fd(w)  # no longer listed: no error
        c.wake()
        assert drain(r) == b""
        assert c.cache_revision() == 2
        assert c.stats()["watch_wakeups"] == 2
    finally:
        os.close(r)
        os.close(w)


def test_drop_keeps_the_order_and_the_others(c):
    pipes = [os.pipe() for _ in range(3)]
    try:
        for r, w in pipes:
            os.set_blocking(r, False)
        c.add_wake_fd(pipes[0][1])
        c.add_wake_fd(pipes[1][1])
        c.add_wake_fd(pipes[2][1])
        c.add_wake_fd(pipes[1][1])
        c.drop_wake_fd(pipes[1][1])
        c.wake()
        assert [drain(r) for r, _ in pipes] == [b"\x01", b"", b"\x01"]
    finally:
        for r, w in pipes:
            os.close(r)
            os.close(w)


def test_a_closed_descriptor_does_not_stop_the_others(c):
    r1, w1 = os.pipe()
    r2, w2 = os.pipe()
    try:
        os.set_blocking(r2, False)
        c.add_wake_fd(w1)
        c.add_wake_fd(w2)
        os.close(r1)
        os.close(w1)  # closed while still registered: its writes fail from now on
        c.wake()
        assert drain(r2) == b"\x01"
    finally:
        os.close(r2)
        os.close(w2)


def test_a_descriptor_that_is_not_open_is_refused(c):
    r, w = os.pipe()
    later_r, later_w = os.pipe()
    os.close(r)
    os.close(w)
    try:
        for fd, error, message in [(-1, RuntimeError, "wake descriptor -1 is negative"),
                                   (w, RuntimeError, "wake descriptor %d is not open" % w)]:
            with pytest.raises(error) as e:
                c.add_wake_fd(fd)
            assert type(e.value) is error and str(e.value) == message
        # Nothing was listed: a file opened later under the refused number gets no byte.
        os.dup2(later_w, w)
        os.set_blocking(later_r, False)
        c.wake()
        assert drain(later_r) == b""
        assert c.cache_revision() == 1
    finally:
        os.close(later_r)
        os.close(later_w)
        try:
            os.close(w)  # open again only once dup2 has run
        except OSError:
            pass


# Each makes (descriptor to register, where the bell's byte can be read or
# None, every descriptor to close).
def single(fd):
    return fd, None, [fd]


def pipe_write_end():
    r, w = os.pipe()
    return w, r, [r, w]


def pipe_read_end():
    r, w = os.pipe()
    return r, None, [r, w]


def socketpair_end():
    a, b = socket.socketpair()
    fds = [a.detach(), b.detach()]
    return fds[0], fds[1], fds


def fifo_read_write(tmp_path):
    path = str(tmp_path / "fifo")
    os.mkfifo(path)
    fd = os.open(path, os.O_RDWR)  # its own reader: the byte comes back on it
    return fd, fd, [fd]


def opened(mode):
    def make(tmp_path):
        path = str(tmp_path / "file")
        open(path, "wb").close()
        return single(os.open(path, mode))
    return make


@pytest.mark.parametrize("make", [
    lambda tmp_path: pipe_write_end(),
    lambda tmp_path: socketpair_end(),
    fifo_read_write,
    lambda tmp_path: single(os.open("/dev/null", os.O_WRONLY)),
    opened(os.O_WRONLY | os.O_APPEND),
    opened(os.O_RDWR),
], ids=["pipe write end", "socketpair end", "fifo read-write", "/dev/null for writing",
        "file for appending", "file read-write"])
def test_a_descriptor_open_for_writing_is_taken(c, tmp_path, make):
    fd, reader, fds = make(tmp_path)
    try:
        assert c.add_wake_fd(fd) is None
        c.wake()
        if reader is not None:
            os.set_blocking(reader, False)
            assert drain(reader) == b"\x01"
        c.drop_wake_fd(fd)
    finally:
        for f in fds:
            os.close(f)


NOT_FOR_WRITING = "is not open for writing"


@pytest.mark.parametrize("make,why", [
    (lambda tmp_path: pipe_read_end(), NOT_FOR_WRITING),
    (lambda tmp_path: single(os.open("/dev/null", os.O_RDONLY)), NOT_FOR_WRITING),
    (opened(os.O_RDONLY), NOT_FOR_WRITING),
    (lambda tmp_path: single(os.open(str(tmp_path), os.O_PATH)), NOT_FOR_WRITING),
    # Open for writing, but a write of fewer than 8 bytes always fails.
    (lambda tmp_path: single(os.eventfd(0)), "is an eventfd, which takes no 1-byte write"),
], ids=["pipe read end", "/dev/null for reading", "file for reading", "O_PATH", "eventfd"])
def test_a_descriptor_that_cannot_take_the_byte_is_refused(c, tmp_path, make, why):
    fd, _, fds = make(tmp_path)
    try:
        with pytest.raises(RuntimeError) as e:
            c.add_wake_fd(fd)
        assert type(e.value) is RuntimeError
        assert str(e.value) == "wake descriptor %d %s" % (fd, why)
        # Nothing was listed: the number opened for writing later gets no byte.
        r, w = os.pipe()
        try:
            os.dup2(w, fd)
            os.set_blocking(r, False)
            c.wake()
            assert drain(r) == b""
        finally:
            os.close(r)
            os.close(w)
    finally:
        for f in fds:
            os.close(f)


# --- waiting -----------------------------------------------------------------------------


def wake_later(c, delay):
    t = threading.Timer(delay, c.wake)
    t.start()
    return t


@pytest.mark.parametrize("timeout_ms", [1000, 2**64 - 1])
def test_wait_revision_is_woken_by_wake_from_another_thread(c, timeout_ms):
    t = wake_later(c, 0.1)
    started = time.monotonic()
    assert c.wait_revision(0, timeout_ms) == 1
    elapsed = time.monotonic() - started
    t.join()
    assert 0.05 < elapsed < 5


def test_wait_revision_times_out_with_since(c):
    started = time.monotonic()
    assert c.wait_revision(0, 300) == 0
    assert 0.25 < time.monotonic() - started < 5
    started = time.monotonic()
    assert c.wait_revision(0, 0) == 0
    assert time.monotonic() - started < 0.5


def test_wait_revision_returns_at_once_when_the_revision_differs(c):
    c.wake()
    c.wake()
    started = time.monotonic()
    assert c.wait_revision(5, 10_000) == 2  # above the current revision
    assert c.wait_revision(1, 10_000) == 2  # below it
    assert c.wait_revision(0, 2**64 - 1) == 2
    assert time.monotonic() - started < 1


def test_many_threads_wait_at_once_and_all_wake(c):
    results = []
    threads = [threading.Thread(target=lambda: results.append(c.wait_revision(0, 10_000))) for _ in range(8)]
    for t in threads:
        t.start()
    time.sleep(0.2)
    c.wake()
    for t in threads:
        t.join(10)
    assert results == [1] * 8


# --- status ------------------------------------------------------------------------------


def test_status_of_a_new_client(c):
    time.sleep(0.05)
    stats = c.stats()
    silence = stats.pop("silence_ms")
    assert stats == {
        "beats_ok": 0, "beats_failed": 0, "interval_ms": 1000, "coalesce_ms": 50, "effective_coalesce_ms": 50,
        "short_polls": 0, "watch_wakeups": 0, "state_bytes": 2, "pool_revision": 0, "watched_pools": 0,
    }
    assert 50 <= silence < 60_000
    assert c.silence_ms >= silence
    assert c.registry() == (0, "")
    assert c.refused() == "" and c.last_error() == ""
    assert c.accepted is True and c.is_ready() is False
    assert c.publish_versions() == (0, 0)
    assert c.cache_revision() == 0


@pytest.mark.parametrize("coalesce_ms,effective", [(0, 0), (50, 50), (999, 999), (100_000, 1000), (2**64 - 1, 1000)])
def test_effective_coalesce_is_bounded_by_the_interval(murlo, coalesce_ms, effective):
    c = murlo.Client("http://127.0.0.1:9", "p", 1, 1, "rr", coalesce_ms=coalesce_ms)
    assert (c.stats()["coalesce_ms"], c.stats()["effective_coalesce_ms"]) == (coalesce_ms, effective)


def test_leave_and_abandon_without_a_runtime(c):
    assert c.abandon() is None
    assert c.leave() is None
    assert c.leave() is None
    assert c.stats()["beats_ok"] == 0 and c.stats()["beats_failed"] == 0


def test_queries_on_an_empty_cache(c):
    assert c.lookup("p") == "[]"
    assert c.lookup("p", '{"a":1}', True) == "[]"
    for call in (lambda: c.choose("p"), lambda: c.lookup_slot("p", 0), lambda: c.frozen("p"),
                 lambda: c.field_digest("p", ["ready"]), lambda: c.pool_info("p")):
        assert call() is None
    for bad in ("{", "[1,]", "1 2"):
        with pytest.raises(RuntimeError, match=" at line 1 column "):
            c.lookup("nowhere", bad)
        with pytest.raises(RuntimeError, match=" at line 1 column "):
            c.choose("nowhere", bad)
