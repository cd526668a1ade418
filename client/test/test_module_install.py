"""The install path a user takes: `pip install --no-build-isolation .` into a
fresh virtual environment, offline, then `import _murlo` from anywhere, and
mypy run by that environment's interpreter finding the installed stubs."""

import fcntl
import importlib.util
import os
import shutil
import subprocess

import pytest

from murlo_fixtures import BUILD, PYTHON, ROOT, module_built

TOOLS = ("pip", "setuptools", "wheel", "venv", "ensurepip")

# Typed use of the module, one wrong call on line 6.
TYPED = """import _murlo

c = _murlo.Client("http://127.0.0.1:9", "p", 1, 1, "rr")
info: tuple[int, int, int | None, list[str]] | None = c.pool_info("p")
n: int = c.stats()["beats_ok"] + c.cache_revision()
c.lookup("p", 1)
"""


def test_pip_install_into_a_clean_venv(tmp_path):
    missing = [m for m in TOOLS if importlib.util.find_spec(m) is None]
    if missing or not shutil.which("cmake"):
        pytest.skip("needs python3-pip, python3-setuptools, python3-wheel, python3-venv and cmake: missing "
                    + ", ".join(missing or ["cmake"]))
    if not module_built():
        pytest.skip("_murlo is not built in " + BUILD)
    venv = tmp_path / "venv"
    subprocess.run([PYTHON, "-m", "venv", "--system-site-packages", str(venv)], check=True, timeout=300)
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_"))}
    # The build directory the tests run against: the install reuses its CMake build.
    env["MURLO_BUILD"] = BUILD
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "prog.py").write_text(TYPED)
    with_mypy = subprocess.run([python, "-c", "import mypy"], capture_output=True).returncode == 0
    if with_mypy:
        before = subprocess.run([python, "-m", "mypy", "--strict", "prog.py"], cwd=elsewhere, capture_output=True,
                                text=True, env=env, timeout=300)
        assert "Cannot find implementation or library stub" in before.stdout, before.stdout

    # The build happens in the source tree, whose scratch directories another
    # test run on the same tree may be using: one install at a time.
    with open(os.path.join(ROOT, "setup.py")) as tree:
        fcntl.flock(tree, fcntl.LOCK_EX)
        out = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-cache-dir",
                              ROOT], capture_output=True, text=True, env=env, timeout=900)
    assert out.returncode == 0, out.stdout + out.stderr

    del env["MURLO_BUILD"]
    check = ("import _murlo; print(_murlo.__file__); print(_murlo.version, _murlo.__all__); "
             "import importlib.metadata; print(importlib.metadata.version('murlo')); "
             "c = _murlo.Client('http://127.0.0.1:9', 'p', 1, 1, 'rr'); print(c.stats()['state_bytes'])")
    out = subprocess.run([python, "-c", check], cwd=elsewhere, capture_output=True, text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    location, version, metadata, size = out.stdout.splitlines()
    assert location.startswith(str(venv)), location
    assert version == "0.17.0 ['version', 'Client', 'serve_registry']"
    assert metadata == "0.17.0"
    assert size == "2"
    # Stripped: the build it copies carries 48 MB of debug information.
    assert os.path.getsize(location) < 10 * 2**20, os.path.getsize(location)

    if with_mypy:
        after = subprocess.run([python, "-m", "mypy", "--strict", "--no-error-summary", "prog.py"], cwd=elsewhere,
                               capture_output=True, text=True, env=env, timeout=300)
        assert after.stdout.splitlines() == [
            'prog.py:6: error: Argument 2 to "lookup" of "Client" has incompatible type "int"; expected "str"  [arg-type]'
        ], after.stdout
