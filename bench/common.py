"""Timing helpers shared by the benchmarks: medians over repeats, since the
machine is shared and noisy; ratios are taken between runs of one process."""

import ctypes
import os
import statistics
import subprocess
import tempfile
import time

import _tarnwell as tw  # noqa: F401  (imported so a missing build fails early)

REPEATS = int(os.environ.get("BENCH_REPEATS", "9"))


def median_time(fn, repeats=REPEATS, warmup=1):
    for _ in range(warmup):
        fn()
    samples = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def interleaved(fns, repeats=REPEATS):
    """Median time of each callable, run in turn so that a burst of load on
    the shared machine hits all of them alike."""
    for fn in fns.values():
        fn()
    samples = {k: [] for k in fns}
    for _ in range(repeats):
        for k, fn in fns.items():
            t0 = time.perf_counter()
            fn()
            samples[k].append(time.perf_counter() - t0)
    return {k: statistics.median(v) for k, v in samples.items()}


def rate(items, seconds):
    return items / seconds


def fmt_rate(r):
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if r >= scale:
            return f"{r / scale:.2f} {unit}/s"
    return f"{r:.1f} /s"


def report(title, rows):
    """rows: list of (label, seconds, items)."""
    print(f"\n== {title} ==")
    for label, sec, items in rows:
        print(f"  {label:<42s} {sec * 1e3:10.3f} ms  {fmt_rate(rate(items, sec)):>14s}")


def load_cpp(source, *flags):
    """Compiles a C++ helper of bench/ into a shared library (with the
    module's own floating-point flags) and loads it with ctypes."""
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(tempfile.gettempdir(), f"tarnwell_{os.path.splitext(source)[0]}.so")
    subprocess.run(["c++", "-O2", "-ffp-contract=off", "-shared", "-fPIC", *flags,
                    os.path.join(here, source), "-o", out], check=True)
    return ctypes.CDLL(out)
