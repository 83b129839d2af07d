"""Builds the quillet package: the extension comes from the project's CMake
build (a static library and the module on top), so pip needs CMake, a C++17
compiler, pybind11 and the library's dependencies, and nothing else.

    python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation --no-index ./python

QUILLET_CMAKE_ARGS adds arguments to the CMake configuration (CI passes
-DQUILLET_WERROR=ON).
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def project_version():
    """The version, from the one place it is kept: project() in CMakeLists.txt."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(Quillet VERSION (\d+\.\d+\.\d+)", text)
    if match is None:
        raise RuntimeError("no project(Quillet VERSION ...) in CMakeLists.txt")
    return match.group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_SHARED_LIBS=OFF",
            "-DQUILLET_PYTHON=ON",
            "-DQUILLET_BUILD_TESTS=OFF",
            "-DQUILLET_BUILD_TOOLS=OFF",
            "-DQUILLET_INSTALL=OFF",
            "-DPython3_EXECUTABLE=" + sys.executable,
        ] + shlex.split(os.environ.get("QUILLET_CMAKE_ARGS", ""))
        subprocess.run(configure, check=True)
        jobs = str(os.cpu_count() or 2)
        subprocess.run(["cmake", "--build", str(build), "--target", "quillet_python", "-j", jobs],
                       check=True)
        built = sorted((build / "python").glob("_quillet*.so"))
        if not built:
            raise RuntimeError("the CMake build made no _quillet module")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    name="quillet",
    version=project_version(),
    description="Fast, lossless reader of ISO 2709 (MARC) bibliographic records",
    long_description=(ROOT / "docs" / "python.md").read_text(encoding="utf-8"),
    long_description_content_type="text/markdown",
    python_requires=">=3.9",
    packages=["quillet"],
    package_data={"quillet": ["py.typed", "*.pyi"]},
    ext_modules=[CMakeExtension("quillet._quillet")],
    cmdclass={"build_ext": CMakeBuild},
    extras_require={"tables": ["pandas", "numpy"],
                    "dask": ["dask[bag,dataframe]", "distributed", "pandas", "numpy"]},
    zip_safe=False,
)
