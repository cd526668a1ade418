"""Installs the extension module _murlo, built by the project's own CMake build
(one build description), and its type stubs: `pip install --no-build-isolation .`

The CMake build directory is $MURLO_BUILD, or build-release/ (the Release build
that ./run bench also uses), configured as Release when it is new; only the
_murlo target is built. The installed copy is stripped: the debug information
of a RelWithDebInfo build is most of its 48 MB."""

import glob
import os
import re
import shutil
import subprocess

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def project_version():
    """The one version of the project: CMake's project version."""
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(murlo VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.environ.get("MURLO_BUILD", os.path.join(ROOT, "build-release"))
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            subprocess.check_call(["cmake", "-S", ROOT, "-B", build_dir, *generator, "-DCMAKE_BUILD_TYPE=Release"])
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "_murlo", "-j", str(os.cpu_count() or 4)])
        built = glob.glob(os.path.join(build_dir, "client", "_murlo*.so"))
        if len(built) != 1:
            raise RuntimeError("expected one _murlo module in %s, found %r" % (build_dir, built))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)
        # Symbols and debug sections only; PyInit__murlo stays in the dynamic table.
        subprocess.check_call(["strip", "--strip-unneeded", target])


setup(
    version=project_version(),
    ext_modules=[Extension("_murlo", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    py_modules=[],
    # Not a module name, so listed here rather than in pyproject.toml, which
    # accepts only importable names.
    packages=["_murlo-stubs"],
    package_data={"_murlo-stubs": ["__init__.pyi"]},
    # setuptools' own scratch space, apart from the CMake trees.
    options={"build": {"build_base": os.path.join("build", "python")}},
)
