"""Builds the talmira Python module with the project's CMake build.

    pip install --no-build-isolation .

The extension is the CMake target _talmira, built in Release for the Python
running this script (so a virtual environment's Python gets a module of its
own) and copied where setuptools expects it. Needs CMake, a C++20 compiler,
pybind11 and Python's development files (Debian: cmake, g++, pybind11-dev,
python3-dev); no network.

With TALMIRA_CMAKE_BUILD_DIR set to a folder that CMake has configured
already (a dev build, say), the module is taken from there instead, built
first where it is not up to date: CI installs the module its tests built
rather than compiling the library a second time. It must be built for the
Python running this script.
"""

import glob
import os
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def cached_value(build_dir, name):
    """A variable's value in the CMake cache of `build_dir`, or None."""
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            key, _, value = line.rstrip("\n").partition("=")
            if key.split(":")[0] == name:
                return value
    return None


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        built_in = os.environ.get("TALMIRA_CMAKE_BUILD_DIR")
        if built_in:
            self.take_built_module(ext, os.path.abspath(built_in))
            return
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        package_dir = os.path.join(build_dir, "package")
        subprocess.run(
            ["cmake", "-S", ROOT, "-B", build_dir,
             "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
             "-DTALMIRA_BUILD_PYTHON=ON",
             "-DPython3_EXECUTABLE=" + sys.executable,
             "-DTALMIRA_PYTHON_OUTPUT_DIR=" + package_dir],
            check=True)
        subprocess.run(["cmake", "--build", build_dir, "--target", "_talmira",
                        "--parallel", os.environ.get("TALMIRA_BUILD_JOBS", "2")],
                       check=True)
        built = glob.glob(os.path.join(package_dir, "talmira", "_talmira*.so"))
        if len(built) != 1:
            raise RuntimeError("the CMake build made no single _talmira module: %r" % built)
        self.install_module(ext, built[0])

    def take_built_module(self, ext, build_dir):
        if not os.path.isfile(os.path.join(build_dir, "CMakeCache.txt")):
            raise RuntimeError("TALMIRA_CMAKE_BUILD_DIR=%s is not a configured CMake build folder"
                               % build_dir)
        subprocess.run(["cmake", "--build", build_dir, "--target", "_talmira",
                        "--parallel", os.environ.get("TALMIRA_BUILD_JOBS", "2")],
                       check=True)
        # The file name carries the Python ABI it was built for.
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        package_dir = cached_value(build_dir, "TALMIRA_PYTHON_OUTPUT_DIR") or ""
        built = glob.glob(os.path.join(package_dir, "talmira", "_talmira*.so"))
        if len(built) != 1 or not built[0].endswith(suffix):
            raise RuntimeError("%s holds no single _talmira module built for this Python (%s): %r"
                               % (build_dir, suffix, built))
        self.install_module(ext, built[0])

    def install_module(self, ext, built):
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[Extension("talmira._talmira", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
