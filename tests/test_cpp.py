"""Builds and runs the C++ tests: the chunked parallel loop (thread-start
counts and the refused-start path cannot be reached from Python) and the
kernels' per-item routines called directly."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CPP_TESTS = sorted((ROOT / "tests" / "cpp").glob("test_*.cpp"))


@pytest.mark.parametrize("source", CPP_TESTS, ids=lambda p: p.stem)
def test_cpp(source, tmp_path):
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        pytest.fail("a C++ compiler is needed to build the C++ tests")
    exe = tmp_path / source.stem
    # The module's own floating-point flags: the kernel tests compare bits.
    flags = ["-std=c++17", "-O1", "-ffp-contract=off", "-fno-fast-math", "-pthread"]
    build = subprocess.run(
        [
            cxx,
            *flags,
            "-Wall",
            "-Wextra",
            "-Werror",
            f"-I{ROOT / 'src'}",
            str(source),
            "-o",
            str(exe),
        ],
        capture_output=True,
        text=True,
    )
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "all checks passed" in run.stdout


def test_every_cpp_test_is_found():
    assert {p.stem for p in CPP_TESTS} >= {"test_parallel", "test_kernels"}
