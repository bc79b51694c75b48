"""The build's progress filter: the terminal gets the build's steps, the log
gets everything, and a failed build still fails make with its own status."""

import subprocess
import sys
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parents[1] / "tools" / "build_progress.py"
BUILD = (
    "print('Processing /src'); print('[1/2] Building CXX object a.cpp.o'); "
    "print('a.cpp:3:1: warning: unused variable'); print('noise ' * 3); "
    "print('[2/2] Linking CXX shared module m.so'); raise SystemExit({status})"
)


@pytest.mark.parametrize("status", [0, 3])
def test_steps_shown_everything_logged_status_kept(tmp_path, status):
    log = tmp_path / "logs" / "build.log"
    run = subprocess.run(
        [
            sys.executable,
            str(TOOL),
            str(log),
            "--",
            sys.executable,
            "-c",
            BUILD.format(status=status),
        ],
        capture_output=True,
        text=True,
    )
    assert run.returncode == status
    shown = [line.split("s  ", 1)[1] for line in run.stdout.splitlines()]
    assert shown[:3] == [
        "[1/2] Building CXX object a.cpp.o",
        "a.cpp:3:1: warning: unused variable",
        "[2/2] Linking CXX shared module m.so",
    ]
    assert log.read_text().splitlines() == [
        "Processing /src",
        "[1/2] Building CXX object a.cpp.o",
        "a.cpp:3:1: warning: unused variable",
        "noise noise noise ",
        "[2/2] Linking CXX shared module m.so",
    ]
    if status:
        assert "noise noise noise" in run.stderr and str(log) in run.stderr
    else:
        assert shown[3] == f"done (log: {log})" and run.stderr == ""
