"""The module's surface: its attributes, initialisation, the Client type's
flags, every method's signature and documentation, and the rules by which
arguments are bound and converted."""

import gc
import importlib
import inspect
import os
import sys
import weakref

import pytest

from murlo_fixtures import MODULE_DIR, murlo  # noqa: F401  (fixture)

# (name, text signature, documentation body), in declaration order.
METHODS = [
    ("start", "($self, budget_ms=5000)", None),  # two lines of its own, checked below
    ('watch', '($self, pools)', ''),
    ('set_state', '($self, state_json, ready)', (
        'Returns false when the pair was already exactly this, in which case\n'
        'nothing is nudged: republishing an unchanged state used to cancel the\n'
        'held beat and spend a request to tell the registry what it already had,\n'
        "and the registry would not even raise the pool's version for it."
    )),
    ('set_state_only', '($self, state_json)', (
        'Publish `state` without touching readiness.\n'
        '\n'
        '`ready()` and `set_ready()` assert both at once, which is right for the\n'
        'component that owns readiness and wrong for every other one: a progress\n'
        'report had no way to avoid also declaring the member ready, so it would\n'
        'silently lift a pause somebody else had just applied.'
    )),
    ('publish_versions', '($self)', (
        'The version last published locally, and the newest one the registry has\n'
        'acked. flush() waits for the second to reach the first.\n'
        '\n'
        'A count of beats cannot do this. It has to assume the beat in flight\n'
        'was composed before the change and wait for the one after it, which\n'
        'costs a whole long-poll hold that the publish already interrupted:\n'
        'measured at a 2s lease, flush() took 645ms where the ack proving the\n'
        'registry had the state had arrived in one round trip.'
    )),
    ('registry', '($self)', (
        'What the registry said it can do, and which version said it: the\n'
        'protocol number to branch on, the version string to put in a message.'
    )),
    ('is_ready', '($self)', ''),
    ('add_wake_fd', '($self, fd)', (
        'Have the bell also write a byte to `fd`, so an event loop can wait on\n'
        'the fd rather than parking a thread.'
    )),
    ('drop_wake_fd', '($self, fd)', (
        'Stop writing to `fd`. Must happen before Python closes it, or the bell\n'
        'would write into whatever the number is reused for.'
    )),
    ('wake', '($self)', (
        'Ring the bell without anything having changed, so every waiter gets a\n'
        'chance to notice it has been asked to stop.'
    )),
    ('set_url', '($self, url=None)', ''),
    ('lookup', '($self, pool, filter_json="{}", require_ready=False)', 'Members of `pool` matching `filter_json`, as a JSON list.'),
    ('choose', '($self, pool, filter_json="{}", require_ready=True)', 'Only the selected member crosses the Python boundary.'),
    ('lookup_slot', '($self, pool, slot, require_ready=False)', ''),
    ('frozen', '($self, pool, require_ready=True)', (
        'The members of `pool` matching `require_ready`, the fingerprint they\n'
        'add up to, the fingerprint the registry holds for the whole pool, and\n'
        "the pool's version -- all read under one lock.\n"
        '\n'
        'epoch() has to compare the last two, and taking them through separate\n'
        'calls let the beat loop land in between, so the list could come from\n'
        'one set of occupants and the fingerprint from another. Computing the\n'
        "members' own fingerprint here rather than in Python also keeps one\n"
        'implementation of the hash: a second one would drift silently.'
    )),
    ('field_digest', '($self, pool, fields)', (
        'A hash over only the named fields of every member, plus who is present.\n'
        '\n'
        'A watcher that cares about two keys should not pay for a whole snapshot\n'
        'every time somebody bumps a third. Comparing in Python cannot help: the\n'
        'predicate needs a `Snapshot` to look at, and by then the work is done --\n'
        'measured at 5,000 members, `snapshot()` is 8.78ms against 0.40ms here,\n'
        'so the comparison has to happen against the cache, before anything is\n'
        'serialised.\n'
        '\n'
        '`ready` and `url` name those parts of a member; anything else is looked\n'
        'up in its published state. Identity is always part of the hash: a seat\n'
        'changing hands matters even when the new tenure publishes exactly what\n'
        'the old one did.\n'
        '\n'
        'Every member is hashed, ready or not. There used to be a require_ready\n'
        'argument here, and both call sites always passed false -- readiness is\n'
        'asked for by name, as `fields=["ready"]`, which is the same question\n'
        'without a second way to spell it.'
    )),
    ('pool_info', '($self, pool)', 'Version and roster fingerprint of a cached pool, or None if unseen.'),
    ('cache_revision', '($self)', (
        "The local cache's revision. It moves once per beat, after the ack has\n"
        'been applied.'
    )),
    ('wait_revision', '($self, since, timeout_ms)', (
        'Block until the cache has moved past `since`, or `timeout_ms` elapses,\n'
        'and return the revision now current.\n'
        '\n'
        'This is what every wait in the Python layer stands on. They were sleep\n'
        'loops over the local cache -- the tightest turning 500 times a second\n'
        'per pool -- which spent CPU to find out nothing had happened and still\n'
        'added up to half a tick of latency when something had.'
    )),
    ('leave', '($self)', ''),
    ('abandon', '($self)', (
        'Let go of the runtime without shutting it down. Only a forked child\n'
        'should call this.\n'
        '\n'
        "fork() keeps just the calling thread, so the runtime's workers do not\n"
        'exist in the child -- but the inherited handle does, and dropping it at\n'
        'interpreter shutdown waits for threads that will never answer.\n'
        'Measured: the child hangs forever with no Python frame to show why, in\n'
        "native code, and the parent's waitpid hangs with it. Leaking the handle\n"
        'is the right trade here: it points into a copy-on-write image that is\n'
        'about to be discarded, and there is nothing left alive to shut down.'
    )),
    ('refused', '($self)', "Why the registry refused this member, if it was about the pool's shape."),
    ('last_error', '($self)', 'Why the last beat failed, or an empty string if none has.'),
    ('stats', '($self)', ''),
]

SILENCE_MS_DOC = (
    "Milliseconds since the last successful beat; the registry is\n"
    "unreachable when this exceeds the lease."
)

SERVE_DOC = (
    "Run the registry in this process. Shipping it inside the extension module\n"
    "means `pip install murlo` gives you the server too, with no second\n"
    "artifact to build, version or distribute."
)

CLIENT_SIGNATURE = (
    "(endpoint, pool, id, incarnation, policy, slot=None, size=None, url=None, methods=None, "
    "exclusive=False, coalesce_ms=50)"
)

HAVE_GC = 1 << 14
BASETYPE = 1 << 10


def client(murlo, **kw):
    args = dict(endpoint="http://127.0.0.1:9", pool="p", id=1, incarnation=1, policy="rr")
    args.update(kw)
    return murlo.Client(**args)


# --- the module ------------------------------------------------------------------


def test_module_attributes_in_order_and_nothing_else_public(murlo):
    assert murlo.__name__ == "_murlo"
    assert murlo.__doc__ == ""
    assert murlo.__all__ == ["version", "Client", "serve_registry"]
    assert sorted(n for n in vars(murlo) if not n.startswith("_")) == ["Client", "serve_registry", "version"]
    public = [n for n in vars(murlo) if n in murlo.__all__]
    assert public == murlo.__all__  # added in that order
    assert murlo.version == "0.17.0"
    assert type(murlo.serve_registry).__name__ == "builtin_function_or_method"
    assert murlo.serve_registry.__module__ == "_murlo"


def test_reimport_returns_the_same_module(murlo):
    assert importlib.import_module("_murlo") is murlo
    saved = sys.modules.pop("_murlo")
    try:
        again = importlib.import_module("_murlo")
        assert again is murlo
        assert again.__all__ == ["version", "Client", "serve_registry"]
    finally:
        sys.modules["_murlo"] = saved


def test_a_second_interpreter_cannot_import_it(murlo):
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    interp = subinterpreters.create()
    try:
        code = "import sys; sys.path.insert(0, %r); import _murlo" % MODULE_DIR
        with pytest.raises(subinterpreters.RunFailedError, match="ImportError"):
            subinterpreters.run_string(interp, code)
    finally:
        subinterpreters.destroy(interp)


# --- the Client type ---------------------------------------------------------------


def test_client_type_flags(murlo):
    Client = murlo.Client
    assert Client.__name__ == Client.__qualname__ == "Client"
    assert Client.__module__ == "_murlo"
    assert Client.__bases__ == (object,)
    assert not Client.__flags__ & HAVE_GC
    assert not Client.__flags__ & BASETYPE
    assert "__init__" not in vars(Client) and "__new__" in vars(Client)
    with pytest.raises(TypeError):
        type("Sub", (Client,), {})

    c = client(murlo)
    assert not gc.is_tracked(c)
    assert not hasattr(c, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(c)
    with pytest.raises(AttributeError):
        c.anything = 1
    with pytest.raises(AttributeError):
        c.accepted = False
    with pytest.raises(AttributeError):
        c.silence_ms = 0
    assert c.accepted is True


def test_client_signature_and_empty_doc(murlo):
    assert murlo.Client.__text_signature__ == CLIENT_SIGNATURE
    assert str(inspect.signature(murlo.Client)) == CLIENT_SIGNATURE
    assert not murlo.Client.__doc__


def test_methods_in_order_with_their_signatures_and_docs(murlo):
    Client = murlo.Client
    declared = [n for n, v in vars(Client).items() if type(v).__name__ == "method_descriptor"]
    assert declared == [m[0] for m in METHODS]
    c = client(murlo)
    for name, signature, body in METHODS:
        method = getattr(Client, name)
        assert method.__text_signature__ == signature, name
        if body is not None:
            assert (method.__doc__ or "") == body, name
        # The bound form drops $self, the unbound form names it.
        assert "(" + str(inspect.signature(getattr(c, name)))[1:] == signature.replace("$self, ", "").replace(
            "$self", ""
        ).replace('"', "'"), name
    start_doc = Client.start.__doc__.splitlines()
    assert len(start_doc) == 2 and "registered" in start_doc[0]


def test_properties(murlo):
    props = {n: v for n, v in vars(murlo.Client).items() if type(v).__name__ == "getset_descriptor"}
    assert list(props) == ["silence_ms", "accepted"]
    assert props["silence_ms"].__doc__ == SILENCE_MS_DOC
    assert props["accepted"].__doc__ is None


def test_serve_registry_signature_and_doc(murlo):
    assert murlo.serve_registry.__text_signature__ == "(listen, ttl_ms)"
    assert str(inspect.signature(murlo.serve_registry)) == "(listen, ttl_ms)"
    assert murlo.serve_registry.__doc__ == SERVE_DOC


def test_methods_refuse_other_receivers(murlo):
    with pytest.raises(TypeError):
        murlo.Client.lookup(object(), "p")
    with pytest.raises(TypeError):
        murlo.Client.accepted.__get__(object())


# --- binding -----------------------------------------------------------------------


@pytest.mark.parametrize("call,message", [
    (lambda C: C(), "missing required argument 'endpoint' (pos 1)"),
    (lambda C: C("e", "p", 1, 1), "missing required argument 'policy' (pos 5)"),
    (lambda C: C("e", "p", 1, 1, "rr", None, None, None, None, False, 50, 1), "takes at most 11 arguments (12 given)"),
    (lambda C: C("e", "p", 1, 1, "rr", endpoint="e"), "given by name ('endpoint') and position (1)"),
    (lambda C: C("e", "p", 1, 1, "rr", colour=1), "'colour' is an invalid keyword argument"),
])
def test_constructor_binding_errors(murlo, call, message):
    with pytest.raises(TypeError) as e:
        call(murlo.Client)
    assert message in str(e.value)


@pytest.mark.parametrize("call,message", [
    (lambda c: c.lookup(), "missing required argument 'pool' (pos 1)"),
    (lambda c: c.lookup("p", "{}", False, 1), "takes at most 3 arguments (4 given)"),
    (lambda c: c.lookup("p", pool="p"), "given by name ('pool') and position (1)"),
    (lambda c: c.lookup("p", ready=True), "'ready' is an invalid keyword argument"),
    (lambda c: c.wait_revision(0), "missing required argument 'timeout_ms' (pos 2)"),
    (lambda c: c.wake(1), "takes no arguments (1 given)"),
    (lambda c: c.stats(x=1), "takes no keyword arguments"),
])
def test_method_binding_errors(murlo, call, message):
    with pytest.raises(TypeError) as e:
        call(client(murlo))
    assert message in str(e.value)


def test_all_constructor_arguments_by_keyword_in_any_order(murlo):
    c = murlo.Client(coalesce_ms=7, exclusive=True, methods=("a", "b"), url="http://u", size=3, slot=2,
                     policy="rr", incarnation=5, id=4, pool="p", endpoint="http://127.0.0.1:9")
    assert c.stats()["coalesce_ms"] == 7


# --- conversion --------------------------------------------------------------------


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("kw", [
    {},
    {"id": True},
    {"id": 2**64 - 1, "incarnation": 0},
    {"id": Index(7)},
    {"slot": None, "size": None, "url": None, "methods": None},
    {"slot": 0, "size": 2**64 - 1, "url": "", "methods": ("a", "b")},
    {"methods": ["x"]},
    {"methods": []},
    {"exclusive": True, "coalesce_ms": 0},
    {"pool": "", "policy": ""},
])
def test_constructor_accepts(murlo, kw):
    client(murlo, **kw)


@pytest.mark.parametrize("kw,error,text", [
    ({"id": -1}, OverflowError, None),
    ({"id": 2**64}, OverflowError, None),
    ({"slot": -1}, OverflowError, None),
    ({"coalesce_ms": 2**64}, OverflowError, None),
    ({"id": 1.0}, TypeError, "argument 'id': "),
    ({"id": "1"}, TypeError, "argument 'id': "),
    ({"id": None}, TypeError, "argument 'id': "),
    ({"endpoint": b"http://x"}, TypeError, "argument 'endpoint': "),
    ({"pool": None}, TypeError, "argument 'pool': "),
    ({"url": 1}, TypeError, "argument 'url': "),
    ({"exclusive": 1}, TypeError, "argument 'exclusive': "),
    ({"exclusive": None}, TypeError, "argument 'exclusive': "),
    ({"coalesce_ms": None}, TypeError, "argument 'coalesce_ms': "),
    ({"methods": "ab"}, TypeError, "argument 'methods': "),
    ({"methods": ["a", 1]}, TypeError, "argument 'methods': "),
    ({"methods": {"a": 1}}, TypeError, "argument 'methods': "),
    ({"methods": 3}, TypeError, "argument 'methods': "),
    ({"pool": "\udc80"}, UnicodeEncodeError, None),
    ({"methods": ["ok", "\ud800"]}, UnicodeEncodeError, None),
])
def test_constructor_refuses(murlo, kw, error, text):
    with pytest.raises(error) as e:
        client(murlo, **kw)
    assert type(e.value) is error
    if text is not None:
        assert str(e.value).startswith(text)
    if error is OverflowError:
        assert "argument" not in str(e.value)


def test_the_first_failing_parameter_wins(murlo):
    with pytest.raises(TypeError, match="argument 'endpoint'"):
        murlo.Client(1, "p", -1, 1, "rr")
    with pytest.raises(OverflowError):
        murlo.Client("e", "p", -1, 1.5, "rr")
    c = client(murlo)
    # Conversion comes before the method's own checks: the bad JSON is never read.
    with pytest.raises(TypeError, match="argument 'ready'"):
        c.set_state("{bad", 1)
    with pytest.raises(TypeError, match="argument 'require_ready'"):
        c.lookup("p", "{bad", None)
    assert c.publish_versions() == (0, 0)


@pytest.mark.parametrize("call,error,text", [
    (lambda c: c.lookup("p", None), TypeError, "argument 'filter_json'"),
    (lambda c: c.lookup("p", "{}", 1), TypeError, "argument 'require_ready'"),
    (lambda c: c.choose("p", require_ready=None), TypeError, "argument 'require_ready'"),
    (lambda c: c.frozen("p", 0), TypeError, "argument 'require_ready'"),
    (lambda c: c.lookup_slot("p", -1), OverflowError, None),
    (lambda c: c.lookup_slot("p", 1.0), TypeError, "argument 'slot'"),
    (lambda c: c.field_digest("p", "ready"), TypeError, "argument 'fields'"),
    (lambda c: c.field_digest("p", None), TypeError, "argument 'fields'"),
    (lambda c: c.watch("pool"), TypeError, "argument 'pools'"),
    (lambda c: c.watch([b"pool"]), TypeError, "argument 'pools'"),
    (lambda c: c.add_wake_fd(2**31), OverflowError, None),
    (lambda c: c.add_wake_fd(-2**31 - 1), OverflowError, None),
    (lambda c: c.add_wake_fd("3"), TypeError, "argument 'fd'"),
    (lambda c: c.wait_revision(-1, 0), OverflowError, None),
    (lambda c: c.wait_revision(0, None), TypeError, "argument 'timeout_ms'"),
    (lambda c: c.start(None), TypeError, "argument 'budget_ms'"),
    (lambda c: c.start(-1), OverflowError, None),
    (lambda c: c.set_url(1), TypeError, "argument 'url'"),
    (lambda c: c.set_state_only("\udc80"), UnicodeEncodeError, None),
])
def test_method_argument_refusals(murlo, call, error, text):
    c = client(murlo)
    with pytest.raises(error) as e:
        call(c)
    assert type(e.value) is error
    if text is not None:
        assert str(e.value).startswith(text + ": ")
    assert c.stats()["beats_failed"] == 0  # start never got as far as a beat


def test_numpy_bool_is_a_bool(murlo):
    numpy = pytest.importorskip("numpy")
    c = client(murlo)
    assert c.set_state("{}", numpy.bool_(True)) is True
    assert c.is_ready() is True
    assert c.lookup("p", "{}", numpy.bool_(False)) == "[]"


def test_fd_range_edges_convert_and_only_open_descriptors_register(murlo):
    c = client(murlo)
    for fd, error, message in [(-2**31, RuntimeError, "wake descriptor -2147483648 is negative"),
                               (Index(-1), RuntimeError, "wake descriptor -1 is negative"),
                               (2**31 - 1, RuntimeError, "wake descriptor 2147483647 is not open")]:
        with pytest.raises(error) as e:
            c.add_wake_fd(fd)
        assert type(e.value) is error and str(e.value) == message
    r, w = os.pipe()
    try:
        os.set_blocking(r, False)
        c.add_wake_fd(Index(w))
        c.wake()
        assert os.read(r, 16) == b"\x01"
    finally:
        os.close(r)
        os.close(w)


def test_module_errors_are_runtime_errors(murlo):
    c = client(murlo)
    with pytest.raises(RuntimeError) as e:
        c.set_state("[1,", False)
    assert type(e.value) is RuntimeError
