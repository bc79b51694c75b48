"""The demo runs to the end on its built-in sample data, every kernel's
section included."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_demo_runs_every_section(kernel_names):
    run = subprocess.run(
        [sys.executable, os.path.join(ROOT, "demo", "demo.py")],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr[-4000:]
    headers = [line for line in run.stdout.splitlines() if line.startswith("== ")]
    assert [h.split(":")[0][3:] for h in headers] == kernel_names
    assert f"demo: all {len(kernel_names)} sections ran" in run.stdout
    assert "nan" not in run.stdout.lower()  # every summary figure is defined
