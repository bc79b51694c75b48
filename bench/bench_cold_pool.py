"""cold_pool: columns per second with 1 and 2 threads, in threshold and
fixed-depth mode, against the vectorised NumPy threshold-mode code a user
would otherwise write (gap-free, increasing heights, which it assumes)."""

import ctypes
import sys

import numpy as np

import _tarnwell as tw
from common import interleaved, load_cpp, report

THRESHOLD = -0.005


def load_floor():
    lib = load_cpp("stream_floor.cpp", "-pthread")
    lib.stream_floor.restype = ctypes.c_double
    lib.stream_floor.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64, ctypes.c_int]
    return lib.stream_floor


def sample(n, L, seed=0):
    """Outflow-like columns: cold air of random depth under a warm lid."""
    rng = np.random.default_rng(seed)
    z = np.cumsum(rng.uniform(40.0, 400.0, (n, L)), axis=1) - 200.0
    h = rng.uniform(0.0, 3000.0, (n, 1))
    b = -rng.uniform(0.01, 0.3, (n, 1)) * (1.0 - z / h) + rng.normal(0.0, 0.003, (n, L))
    bottom = np.zeros(n)
    return z, b, bottom


def numpy_threshold(z, b, bottom, T):
    """The same diagnostics by whole-array operations."""
    n, L = z.shape
    rows = np.arange(n)
    idx = np.arange(L)
    above = z >= bottom[:, None]
    s = np.argmax(above, axis=1)
    has_start = above.any(axis=1)
    warm = (b >= T) & (idx >= s[:, None])
    closed = warm.any(axis=1)
    e = np.where(closed, np.argmax(warm, axis=1), L)
    seg = ((-b[:, :-1] - b[:, 1:]) * 0.5) * np.diff(z, axis=1)
    inside = (idx[:-1] >= s[:, None]) & (idx[1:] < e[:, None])
    total = np.where(inside, seg, 0.0).sum(axis=1)
    ec = np.minimum(e, L - 1)
    ep = np.maximum(ec - 1, 0)
    zp, bp, zk, bk = z[rows, ep], b[rows, ep], z[rows, ec], b[rows, ec]
    with np.errstate(divide="ignore", invalid="ignore"):
        zc = ((zk - zp) * (T - bp)) / (bk - bp) + zp
    crossing = closed & (e > s)
    total = total + np.where(crossing, ((-bp - T) * 0.5) * (zc - zp), 0.0)
    zs = z[rows, s]
    intensity = np.sqrt(np.maximum(total + total, 0.0))
    depth = np.where(crossing, zc - zs, np.where(closed, 0.0, z[:, -1] - zs))
    flag = np.where(closed, 0.0, 1.0)
    out = np.stack([intensity, depth, flag])
    out[:, ~has_start] = np.nan
    return out


def main(n=100_000, L=40):
    z, b, bottom = sample(n, L)
    nan_top = np.full(n, np.nan)
    fixed_top = np.full(n, 1000.0)
    ours = tw.cold_pool(z, b, bottom, THRESHOLD, nan_top)
    theirs = numpy_threshold(z, b, bottom, THRESHOLD)
    assert np.allclose(ours, theirs, rtol=1e-9, atol=1e-9, equal_nan=True), "NumPy version disagrees"
    print(f"  mean layer depth {ours[1].mean():.0f} m, open top {ours[2].mean():.1%} "
          f"(threshold mode, {L} levels per column)")

    floor = load_floor()
    zp, bp, size = z.ctypes.data, b.ctypes.data, z.size
    times = interleaved({
        "threshold, 1 thread": lambda: tw.cold_pool(z, b, bottom, THRESHOLD, nan_top, n_threads=1),
        "threshold, 2 threads": lambda: tw.cold_pool(z, b, bottom, THRESHOLD, nan_top, n_threads=2),
        "threshold, default threads": lambda: tw.cold_pool(z, b, bottom, THRESHOLD, nan_top),
        "fixed 1000 m, 1 thread": lambda: tw.cold_pool(z, b, bottom, THRESHOLD, fixed_top, n_threads=1),
        "fixed 1000 m, 2 threads": lambda: tw.cold_pool(z, b, bottom, THRESHOLD, fixed_top, n_threads=2),
        # Never reached: every column integrated over all its levels.
        "threshold +inf, 1 thread": lambda: tw.cold_pool(z, b, bottom, np.inf, nan_top, n_threads=1),
        "threshold +inf, 2 threads": lambda: tw.cold_pool(z, b, bottom, np.inf, nan_top, n_threads=2),
        "numpy threshold mode": lambda: numpy_threshold(z, b, bottom, THRESHOLD),
        "memory floor: read z and b, 1 thread": lambda: floor(zp, bp, size, 1),
        "memory floor: read z and b, 2 threads": lambda: floor(zp, bp, size, 2),
    })
    report(f"cold_pool, n = {n:,} columns of {L} levels (columns/s)", [(k, v, n) for k, v in times.items()])
    print(f"  2-thread speedup, threshold   {times['threshold, 1 thread'] / times['threshold, 2 threads']:.2f}x"
          "  (goal >= 1.9)")
    print(f"  2-thread speedup, fixed depth "
          f"{times['fixed 1000 m, 1 thread'] / times['fixed 1000 m, 2 threads']:.2f}x")
    print(f"  2-thread speedup, full column "
          f"{times['threshold +inf, 1 thread'] / times['threshold +inf, 2 threads']:.2f}x")
    print(f"  threshold 1 thread / floor    "
          f"{times['threshold, 1 thread'] / times['memory floor: read z and b, 1 thread']:.2f}x"
          f"  (floor 2-thread speedup "
          f"{times['memory floor: read z and b, 1 thread'] / times['memory floor: read z and b, 2 threads']:.2f}x)")
    print(f"  vs numpy (default threads)    "
          f"{times['numpy threshold mode'] / times['threshold, default threads']:.1f}x  (goal >= 5)")
    return times


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:3]))
