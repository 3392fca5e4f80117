"""Builds the velmora package with CMake, for `pip install .` and `pip wheel .`.

The package's metadata lives in pyproject.toml. The extension velmora._core and the library
(libVelmora.so.N on Linux, libVelmora.N.dylib on macOS) come from the project's own CMake build,
made for the interpreter that runs this file; the library goes into the package folder beside
the extension, which finds it through a run path relative to itself ($ORIGIN, or @loader_path on
macOS), so the installed package depends on no build or source folder.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
(ROOT / "build-pip").mkdir(exist_ok=True)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if self.inplace or getattr(self, "editable_mode", False):
            # The extension needs the library and the version file beside it, which are build
            # products; a source folder that fills up with them is worse than no editable install.
            sys.exit("velmora: editable installs are not supported; use `pip install .`, or a CMake build "
                     "with <build>/python on PYTHONPATH (see README.md)")
        cmake = shutil.which("cmake")
        if cmake is None:
            sys.exit("velmora: building needs CMake 3.18 or newer on PATH (Debian: apt-get install cmake)")
        # One folder per interpreter: a rebuild for the same one is incremental, and a build for
        # another never reuses a CMake cache that names the wrong Python.
        build = Path(self.build_temp).resolve() / ("cmake-" + hashlib.sha1(sys.executable.encode()).hexdigest()[:8])
        configure = [
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVELMORA_BUILD_PYTHON=ON",
            "-DVELMORA_BUILD_TESTS=OFF",
            "-DVELMORA_BUILD_EXAMPLES=OFF",
            "-DVELMORA_BUILD_BENCH=OFF",
            "-DVELMORA_PYTHON_BUNDLE_LIBRARY=ON",
            "-DVELMORA_PYTHON_INSTALL_DIR=.",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        try:
            import pybind11
        except ImportError:
            pass  # CMake looks for pybind11's package files on its own
        else:
            configure.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)

        subprocess.run([cmake, "-S", str(ROOT), "-B", str(build), *configure], check=True)
        subprocess.run([cmake, "--build", str(build), "--target", "_core", "--parallel", jobs], check=True)
        # The CMake install of the package (the extension with its run path set, the library,
        # the version file, the Python files), laid over what build_py copied.
        package = Path(self.get_ext_fullpath(ext.name)).parent
        with tempfile.TemporaryDirectory() as staging:
            subprocess.run([cmake, "--install", str(build), "--component", "python", "--prefix", staging], check=True)
            shutil.copytree(Path(staging) / "velmora", package, dirs_exist_ok=True)


setup(
    ext_modules=[Extension("velmora._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Beside build-release and build-asan, away from a CMake folder called build; the package
    # folder gets no egg-info.
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
)
