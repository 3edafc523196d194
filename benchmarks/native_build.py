"""Builds this checkout with CMake for the benchmarks that need their own build (symbols for
callgrind, native programs that are not part of the package)."""
import os
import shutil
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))


def cmake_build(build_dir, targets=(), build_type="RelWithDebInfo"):
    """Configures ROOT into build_dir and builds `targets` (every default target when empty);
    exits with a message naming what is missing. Returns build_dir."""
    cmake = shutil.which("cmake")
    if cmake is None:
        sys.exit("cmake was not found: install it (pip install cmake)")
    try:
        import pybind11
    except ImportError:
        sys.exit("pybind11 is not installed in this interpreter: pip install 'pybind11>=3.0.2,<3.1'")
    subprocess.run([cmake, "-S", ROOT, "-B", build_dir, f"-DCMAKE_BUILD_TYPE={build_type}",
                    f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    command = [cmake, "--build", build_dir, "-j2"]
    for target in targets:
        command += ["--target", target]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return build_dir
