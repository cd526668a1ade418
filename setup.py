"""Installs the extension module _murlo, built by the project's own CMake build
(one build description): `pip install --no-build-isolation .`

The CMake build directory is $MURLO_BUILD, or build/ (the one ./run uses), so an
install after `./run build` only copies the module."""

import glob
import os
import shutil
import subprocess

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.environ.get("MURLO_BUILD", os.path.join(ROOT, "build"))
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            subprocess.check_call(["cmake", "-S", ROOT, "-B", build_dir, *generator])
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "_murlo", "-j", str(os.cpu_count() or 4)])
        built = glob.glob(os.path.join(build_dir, "client", "_murlo*.so"))
        if len(built) != 1:
            raise RuntimeError("expected one _murlo module in %s, found %r" % (build_dir, built))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    ext_modules=[Extension("_murlo", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # setuptools' own scratch space, apart from the CMake tree.
    options={"build": {"build_base": os.path.join("build", "python")}},
)
