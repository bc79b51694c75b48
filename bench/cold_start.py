"""Cold against warm 2-thread calls of every kernel.

A scientist's call usually follows idle time (reading a file, drawing a
plot), and a worker thread started after idleness can be late. Each kernel is
called with 2 threads back to back (right after another call) and after 50 ms
of sleep, interleaved, and the medians are compared.

    python bench/cold_start.py [repeats]
"""

from __future__ import annotations

import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "peers"))

import data  # noqa: E402

IDLE_SECONDS = 0.05


def cases():
    """(name, size label, args) of each kernel at its benchmark size."""
    rng = np.random.default_rng(5)
    n = 2_000_000
    t = rng.uniform(220.0, 310.0, n)
    p = rng.uniform(2.0e4, 1.05e5, n)
    td = t - rng.uniform(0.0, 30.0, n)
    zc, bc = data.synthetic_cold_pools(200_000, 40)
    zp, up, vp = data.synthetic_columns(200_000, 40)
    f, x, y = data.synthetic_fields(16, 512, 512)
    vr, az, cos_el, _, _ = data.full_rings(8192, 36)
    cols = zc.shape[0]
    return [
        ("thermo", "2e6", (t, p, td)),
        ("cold_pool", "2e5 x 40", (zc, bc, np.zeros(cols), 0.0, np.full(cols, np.nan))),
        ("profile", "2e5 x 40",
         (zp, up, vp, zp[:, 0].copy(), 0.0, 3000.0, np.full(cols, 5.0), np.full(cols, 3.0))),
        ("gradient", "16 x 512 x 512", (f, x, y)),
        ("vad", "8192 x 36", (vr, az, cos_el, 3, 0.1)),
    ]


def cold_and_warm(fn, args, repeats):
    """Median seconds of a 2-thread call made back to back and after idling."""
    warm, cold = [], []
    fn(*args, n_threads=2)
    for _ in range(repeats):
        fn(*args, n_threads=2)  # the call that makes the next one back to back
        t0 = time.perf_counter()
        fn(*args, n_threads=2)
        warm.append(time.perf_counter() - t0)
        time.sleep(IDLE_SECONDS)
        t0 = time.perf_counter()
        fn(*args, n_threads=2)
        cold.append(time.perf_counter() - t0)
    return float(np.median(warm)), float(np.median(cold))


def rows(module, repeats=11):
    """One row per kernel: name, size, back-to-back ms, after-idle ms, ratio."""
    out = []
    for name, size, args in cases():
        warm, cold = cold_and_warm(getattr(module, name), args, repeats)
        out.append((name, size, warm * 1e3, cold * 1e3, cold / warm))
    return out


def main():
    import _tarnwell

    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 11
    with open("/proc/loadavg") as fh:
        load = fh.read().split()[:3]
    print(f"load average {' '.join(load)}; {repeats} repeats; idle {IDLE_SECONDS * 1e3:.0f} ms")
    print(f"{'kernel':<10} {'size':<16} {'back to back':>13} {'after idle':>11} {'ratio':>6}")
    for name, size, warm, cold, ratio in rows(_tarnwell, repeats):
        print(f"{name:<10} {size:<16} {warm:10.2f} ms {cold:8.2f} ms {ratio:6.2f}")


if __name__ == "__main__":
    main()
