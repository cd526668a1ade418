"""One version: CMake's project version is what the module, every answer, the
health document and the package metadata report."""

import json
import os
import re
import subprocess
import urllib.request

from murlo_fixtures import PYTHON, ROOT, murlo, registry  # noqa: F401  (fixtures)


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(murlo VERSION ([0-9.]+)", f.read()).group(1)


def test_module_answers_and_health_carry_the_project_version(murlo, registry):
    version = project_version()
    assert murlo.version == version
    with urllib.request.urlopen(registry.url + "/health", timeout=10) as answer:
        assert json.loads(answer.read())["version"] == version
    c = murlo.Client(registry.url, "version-check", 1, 1, "rr")
    assert c.start(5000)
    assert c.registry() == (2, version)
    c.leave()


def test_package_metadata_reads_the_project_version():
    # setup.py reads the version from CMakeLists.txt; pyproject.toml declares it dynamic.
    out = subprocess.run([PYTHON, "setup.py", "--version"], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().splitlines()[-1] == project_version()
