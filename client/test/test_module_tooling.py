"""What Python tooling sees of the module: help() and pydoc, a clean import
under -W error, and the type stubs in _murlo-stubs held against the real
module (signatures, defaults, the types of real results) and run through mypy
on a correct program and on wrong calls."""

import __future__
import inspect
import os
import pydoc
import subprocess
import sys
import types
import typing

import pytest

from murlo_fixtures import MODULE_DIR, PYTHON, ROOT, eventually, members, murlo, registry  # noqa: F401  (fixtures)

STUB = os.path.join(ROOT, "_murlo-stubs", "__init__.pyi")


def load_stub():
    """The stub executed as a module (annotations left unevaluated), with the
    namespace its annotations are evaluated in."""
    ns = {"__name__": "_murlo_stub"}
    with open(STUB) as f:
        code = compile(f.read(), STUB, "exec", flags=__future__.annotations.compiler_flag, dont_inherit=True)
    exec(code, ns)
    return types.SimpleNamespace(**ns), ns


def bare(signature):
    """A signature without annotations: names, kinds and defaults only."""
    return signature.replace(parameters=[p.replace(annotation=inspect.Parameter.empty)
                                         for p in signature.parameters.values()],
                             return_annotation=inspect.Signature.empty)


def members_of(cls):
    return {n: v for n, v in vars(cls).items() if not n.startswith("_")}


# --- help, pydoc, warnings -----------------------------------------------------------


def test_help_and_pydoc_show_the_class_and_its_methods(murlo):
    text = pydoc.render_doc(murlo, renderer=pydoc.plaintext)
    assert "CLASSES" in text and "class Client(builtins.object)" in text
    assert "serve_registry(listen, ttl_ms)" in text
    assert "Client(endpoint, pool, id, incarnation, policy, slot=None" in text
    for name, method in members_of(murlo.Client).items():
        if callable(method):
            assert "%s(self, /%s" % (name, "," if inspect.signature(method).parameters.keys() - {"self"} else ")") \
                in text, name
    assert "silence_ms" in text and "Milliseconds since the last successful beat" in text

    out = subprocess.run([PYTHON, "-c", "import sys; sys.path.insert(0, sys.argv[1]); import _murlo; help(_murlo.Client)",
                          MODULE_DIR], capture_output=True, text=True, timeout=60, env={"PAGER": "cat", "TERM": "dumb"})
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("Help on class Client in module _murlo:"), out.stdout[:200]
    assert "wait_revision(self, /, since, timeout_ms)" in out.stdout


def test_import_is_clean_under_warnings_as_errors(murlo):
    code = ("import sys; sys.path.insert(0, sys.argv[1]); import _murlo, pydoc; "
            "c = _murlo.Client('http://127.0.0.1:9', 'p', 1, 1, 'rr'); pydoc.render_doc(_murlo); print(c.accepted)")
    out = subprocess.run([PYTHON, "-W", "error", "-X", "dev", "-c", code, MODULE_DIR], capture_output=True, text=True,
                         timeout=60)
    assert (out.returncode, out.stdout, out.stderr) == (0, "True\n", "")


# --- the stubs against the module ------------------------------------------------------


def test_stub_declares_exactly_what_the_module_has(murlo):
    stub, ns = load_stub()
    assert stub.__all__ == murlo.__all__
    assert set(murlo.__all__) <= set(ns) | set(ns["__annotations__"])
    assert set(members_of(stub.Client)) == set(members_of(murlo.Client))
    for name, real in members_of(murlo.Client).items():
        declared = vars(stub.Client)[name]
        assert isinstance(declared, property) == (type(real).__name__ == "getset_descriptor"), name
    with pytest.raises(TypeError):  # final in the stub as in the module
        type("Sub", (murlo.Client,), {})
    assert getattr(stub.Client, "__final__", False)


def test_stub_signatures_match_the_module(murlo):
    stub, _ = load_stub()
    assert bare(inspect.signature(stub.Client)) == inspect.signature(murlo.Client)
    assert bare(inspect.signature(stub.serve_registry)) == inspect.signature(murlo.serve_registry)
    for name, real in members_of(murlo.Client).items():
        if callable(real):
            # Names, positional-only self, defaults by value.
            assert bare(inspect.signature(getattr(stub.Client, name))) == inspect.signature(real), name


def conforms(value, hint):
    """Whether a real result is of the type the stub declares (the few forms it uses)."""
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if hint is type(None):
        return value is None
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, a) for a in args)
    if origin is tuple:
        return type(value) is tuple and len(value) == len(args) and all(map(conforms, value, args))
    if origin is list:
        return type(value) is list and all(conforms(v, args[0]) for v in value)
    if origin is dict:
        return type(value) is dict and all(conforms(k, args[0]) and conforms(v, args[1]) for k, v in value.items())
    return type(value) is hint  # exact: a bool where an int is declared is a mistake


# Calls that cover every method, against a cached pool and one never seen.
WAKE_FD = os.open(os.devnull, os.O_WRONLY)  # add_wake_fd takes only an open descriptor
CALLS = [
    ("start", ()), ("watch", (["tooling"],)), ("set_state", ('{"a":1}', True)), ("set_state", ('{"a":1}', True)),
    ("set_state_only", ('{"a":2}',)), ("publish_versions", ()), ("registry", ()), ("is_ready", ()),
    ("add_wake_fd", (WAKE_FD,)), ("drop_wake_fd", (WAKE_FD,)), ("wake", ()), ("set_url", ("http://u",)),
    ("lookup", ("tooling",)), ("lookup", ("nowhere",)), ("choose", ("tooling",)), ("choose", ("nowhere",)),
    ("lookup_slot", ("tooling", 0)), ("lookup_slot", ("tooling", 9)), ("frozen", ("tooling",)),
    ("frozen", ("nowhere",)), ("field_digest", ("tooling", ["a"])), ("field_digest", ("nowhere", ["a"])),
    ("pool_info", ("tooling",)), ("pool_info", ("nowhere",)), ("cache_revision", ()), ("wait_revision", (0, 0)),
    ("silence_ms", None), ("accepted", None), ("refused", ()), ("last_error", ()), ("stats", ()),
    ("leave", ()), ("abandon", ()),
]


def test_real_results_have_the_stub_types(murlo, registry, members):
    stub, ns = load_stub()
    c = members(registry.url, "tooling", 1, 1, "rr", slot=0, size=2, methods=["m"])
    c.set_state('{"a":1}', True)
    c.watch(["tooling"])
    assert c.start()
    eventually(lambda: c.pool_info("tooling"))
    assert {name for name, _ in CALLS} == set(members_of(murlo.Client))
    for name, args in CALLS:
        if args is None:
            value, hint = getattr(c, name), typing.get_type_hints(vars(stub.Client)[name].fget, ns)["return"]
        else:
            value = getattr(c, name)(*args)
            hint = typing.get_type_hints(getattr(stub.Client, name), ns)["return"]
        assert conforms(value, hint), (name, args, value, hint)
    assert typing.get_type_hints(stub.serve_registry, ns)["return"] is typing.NoReturn


# --- mypy ----------------------------------------------------------------------------

GOOD = '''
import json
import os
from typing import assert_type

import _murlo

c = _murlo.Client("http://127.0.0.1:7000", "workers", 1, 1, "round-robin", slot=None, size=3, url="http://a:1",
                  methods=("get",), exclusive=False, coalesce_ms=0)
assert_type(c.set_state(json.dumps({"zone": "eu"}), True), bool)
assert_type(c.set_state_only("{}"), bool)
assert_type(c.watch(["workers", "others"]), None)
assert_type(c.start(), bool)
assert_type(c.start(budget_ms=1_000), bool)
assert_type(c.publish_versions(), tuple[int, int])
assert_type(c.registry(), tuple[int, str])
assert_type(c.is_ready(), bool)
r, w = os.pipe()
assert_type(c.add_wake_fd(w), None)
assert_type(c.drop_wake_fd(fd=w), None)
assert_type(c.wake(), None)
assert_type(c.set_url(), None)
assert_type(c.set_url("http://b:2"), None)
assert_type(c.lookup("workers"), str)
assert_type(c.lookup("workers", json.dumps({"zone": "eu"}), require_ready=True), str)
assert_type(c.choose("workers"), str | None)
assert_type(c.lookup_slot("workers", 0), str | None)
assert_type(c.frozen("workers", False), tuple[str, int, int, int] | None)
assert_type(c.field_digest("workers", ["ready", "zone"]), int | None)
info = c.pool_info("workers")
assert_type(info, tuple[int, int, int | None, list[str]] | None)
if info is not None:
    version, roster, size, methods = info
    methods.append("put")
    print(version + roster + (size or 0))
assert_type(c.cache_revision(), int)
assert_type(c.wait_revision(c.cache_revision(), 5_000), int)
assert_type(c.silence_ms, int)
assert_type(c.accepted, bool)
assert_type(c.refused(), str)
assert_type(c.last_error(), str)
assert_type(c.stats(), dict[str, int])
assert_type(c.leave(), None)
assert_type(c.abandon(), None)
assert_type(_murlo.version, str)


def serve() -> None:
    _murlo.serve_registry("127.0.0.1:7000", 10_000)
'''

# Each line marked "# wrong" must be reported, and nothing else.
BAD = '''
import _murlo

c = _murlo.Client("http://127.0.0.1:7000", "workers", 1, 1, "round-robin")
_murlo.Client("http://127.0.0.1:7000", "workers", "1", 1, "round-robin")  # wrong
_murlo.Client("http://127.0.0.1:7000", "workers", 1, 1)  # wrong
_murlo.Client("http://127.0.0.1:7000", "workers", 1, 1, "rr", exclusive=None)  # wrong
_murlo.Client("http://127.0.0.1:7000", "workers", 1, 1, "rr", colour=1)  # wrong
c.set_state({"zone": "eu"}, True)  # wrong
c.lookup("workers", require_ready=1)  # wrong
c.start(budget=10)  # wrong
c.watch(["a", 1])  # wrong
c.leave(1)  # wrong
c.wait_revision(0, 1.5)  # wrong
c.stats()["beats_ok"].upper()  # wrong
c.pool_info("workers")[0]  # wrong
n: int = c.choose("workers")  # wrong
c.accepted = False  # wrong
_murlo.serve_registry("127.0.0.1:0")  # wrong


class Mine(_murlo.Client):  # wrong
    pass
'''


def mypy(tmp_path, name, program):
    if subprocess.run([PYTHON, "-c", "import mypy"], capture_output=True).returncode != 0:
        pytest.skip("needs mypy (Debian's python3-mypy)")
    work = tmp_path / name
    work.mkdir()
    # Found as the installed _murlo-stubs would be, without installing.
    (work / "_murlo.pyi").write_text(open(STUB).read())
    (work / "prog.py").write_text(program)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "MYPY"))}
    out = subprocess.run([PYTHON, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
                          "--cache-dir", str(work / "cache"), "prog.py"], cwd=work, capture_output=True, text=True,
                         env=env, timeout=300)
    return out


def test_mypy_passes_a_correct_program(tmp_path):
    out = mypy(tmp_path, "good", GOOD)
    assert (out.returncode, out.stdout) == (0, ""), out.stdout + out.stderr


def test_mypy_reports_each_wrong_call(tmp_path):
    out = mypy(tmp_path, "bad", BAD)
    assert out.returncode == 1, out.stdout + out.stderr
    reported = {int(line.split(":")[1]) for line in out.stdout.splitlines() if ": error: " in line}
    wrong = {n for n, line in enumerate(BAD.splitlines(), 1) if line.endswith("# wrong")}
    assert reported == wrong, out.stdout

