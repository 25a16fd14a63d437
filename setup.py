"""Build of the Python package: CMake makes the extension tdcyl._core (the
window, the tests and the benchmarks are left out), setuptools the rest.
The version is the one number of CMakeLists.txt's project()."""
import re
from pathlib import Path

from setuptools import find_packages
from skbuild import setup

_here = Path(__file__).resolve().parent
_version = re.search(r"project\(tdcyl VERSION ([0-9.]+)", (_here / "CMakeLists.txt").read_text()).group(1)

setup(
    version=_version,
    packages=find_packages(where="python", include=["tdcyl", "tdcyl.*"]),
    package_dir={"": "python"},
    package_data={"tdcyl": ["data/*.csv"]},
    cmake_install_dir="python",
    cmake_args=["-DTDCYL_GUI=OFF", "-DTDCYL_TESTS=OFF", "-DTDCYL_BENCH=OFF"],
)
