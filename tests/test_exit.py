"""A daemon thread that is inside a call when the interpreter shuts down must
not take the process down with it: Python 3.12 ends such a thread with
pthread_exit as soon as it asks for the interpreter lock back, and the process
has to exit quietly with the script's own status."""

import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

FUNCTIONS = ["thermo", "cold_pool", "profile", "gradient", "vad"]

# Each call takes some 10-40 ms, so the daemon thread spends nearly all its time
# without the lock; freeing the junk keeps finalization going for several calls,
# so the thread asks for the lock back while the interpreter is finalizing.
SCRIPT = """
import sys, threading, time
import numpy as np
import _tarnwell as tw

name, nt = sys.argv[1], int(sys.argv[2])
if name == "thermo":
    t, p = np.full(300_000, 300.0), np.full(300_000, 9e4)
    call = lambda: tw.thermo(t, p, t - 5.0, n_threads=nt)
elif name == "cold_pool":
    n, L = 20_000, 50
    z = np.tile(np.arange(L) * 100.0, (n, 1))
    b = np.tile(np.linspace(-0.1, 0.01, L), (n, 1))
    call = lambda: tw.cold_pool(z, b, np.zeros(n), 0.0, np.full(n, np.nan), n_threads=nt)
elif name == "profile":
    n, L = 20_000, 50
    z = np.tile(np.arange(L) * 100.0, (n, 1))
    u, v, ones = np.sin(z), np.cos(z), np.ones(n)
    call = lambda: tw.profile(z, u, v, 0 * ones, 0.0, 3000.0, ones, ones, n_threads=nt)
elif name == "gradient":
    f = np.random.default_rng(1).standard_normal((2, 400, 500))
    call = lambda: tw.gradient(f, np.arange(500.0), np.arange(400.0), n_threads=nt)
else:
    R, G = 1000, 360
    az = np.tile(np.linspace(0.0, 6.2, G), (R, 1))
    vr = np.sin(az) * 5.0
    call = lambda: tw.vad(vr, az, np.ones(R), 10, 0.5, n_threads=nt)

junk = [dict(k=i) for i in range(500_000)]

def run():
    while True:
        call()

threading.Thread(target=run, daemon=True).start()
time.sleep(0.3)
raise SystemExit(3)
"""

RUNS_PER_THREAD_COUNT = 2


def run_script(name, n_threads):
    proc = subprocess.run(
        [sys.executable, "-c", SCRIPT, name, str(n_threads)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    return proc.returncode, proc.stderr


@pytest.mark.parametrize("name", FUNCTIONS)
def test_daemon_thread_inside_a_call_at_exit(name):
    jobs = [1, 2] * RUNS_PER_THREAD_COUNT
    with ThreadPoolExecutor(max_workers=len(jobs)) as pool:
        outcomes = list(pool.map(lambda nt: run_script(name, nt), jobs))
    failed = [
        (nt, code, err) for nt, (code, err) in zip(jobs, outcomes, strict=True) if code != 3 or err
    ]
    assert not failed, (
        f"{len(failed)} of {len(jobs)} runs failed (n_threads, status, stderr): {failed}"
    )
