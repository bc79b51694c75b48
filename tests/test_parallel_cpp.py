"""Builds and runs the C++ tests of the chunked parallel loop (thread-start
counts and the refused-start path cannot be reached from Python)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_parallel_loop_cpp(tmp_path):
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        pytest.fail("a C++ compiler is needed to build the parallel-loop tests")
    exe = tmp_path / "test_parallel"
    build = subprocess.run(
        [cxx, "-std=c++17", "-O1", "-pthread", "-Wall", "-Wextra", "-Werror",
         f"-I{ROOT / 'src'}", str(ROOT / "tests" / "cpp" / "test_parallel.cpp"), "-o", str(exe)],
        capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "all checks passed" in run.stdout
