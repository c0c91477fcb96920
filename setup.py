"""Builds the talmira Python module with the project's CMake build.

    pip install --no-build-isolation .

The extension is the CMake target _talmira, built in Release for the Python
running this script (so a virtual environment's Python gets a module of its
own) and copied where setuptools expects it. Needs CMake, a C++20 compiler,
pybind11 and Python's development files (Debian: cmake, g++, pybind11-dev,
python3-dev); no network.
"""

import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
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
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)


setup(ext_modules=[Extension("talmira._talmira", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
