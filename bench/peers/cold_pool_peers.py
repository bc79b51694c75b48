"""cold_pool against the vectorised NumPy a user would write for threshold
mode on complete columns (no missing levels, layer starting at the lowest)."""

import numpy as np

import _tarnwell as tw
import data
from report import fmt_rate, fmt_sec
from timing import REPEATS, interleaved, per_call, scaling, scaling_lines, speedup_goal

LEVELS = 50
SIZES = [400, 4_000, 40_000, 400_000]
PEER_N = 200_000
THRESHOLD = 0.0


def numpy_cold_pool(z, b, threshold):
    """Threshold-mode intensity, depth and open-top flag of complete columns
    in whole-array NumPy: trapezoids of -b summed up to the first level at or
    above the threshold, closed by the linear crossing height."""
    n, L = b.shape
    rows = np.arange(n)
    above = b[:, 1:] >= threshold
    crossed = above.any(axis=1)
    k = np.where(crossed, np.argmax(above, axis=1) + 1, L - 1)
    seg = ((-b[:, :-1] - b[:, 1:]) * 0.5) * (z[:, 1:] - z[:, :-1])
    sums = np.cumsum(seg, axis=1)
    sigma = np.where(k >= 2, sums[rows, np.maximum(k - 2, 0)], 0.0)
    zp, bp = z[rows, k - 1], b[rows, k - 1]
    # Columns that never cross divide by whatever their last levels give;
    # np.where discards those values.
    with np.errstate(divide="ignore", invalid="ignore"):
        zc = ((z[rows, k] - zp) * (threshold - bp)) / (b[rows, k] - bp) + zp
        s = np.where(crossed, ((-bp - threshold) * 0.5) * (zc - zp) + sigma, sums[:, -1])
    v = s + s
    intensity = np.sqrt(np.maximum(v, 0.0))
    depth = np.where(crossed, zc - z[:, 0], z[:, -1] - z[:, 0])
    flag = np.where(crossed, 0.0, 1.0)
    warm = b[:, 0] >= threshold
    return np.stack([np.where(warm, 0.0, intensity), np.where(warm, 0.0, depth), np.where(warm, 0.0, flag)])


def run(rep):
    lines = rep.section("cold_pool")
    if not hasattr(tw, "cold_pool"):
        lines.append("`cold_pool` is not in this build of the module: nothing measured.")
        rep.goal("cold_pool", "≥ 1.9x from 2 threads (large input)", "kernel not built", None)
        return

    def make(n):
        z, b = data.synthetic_cold_pools(n, LEVELS)
        return (z, b, np.full(n, np.nan), np.full(n, np.nan)), n

    def call(a, nt):
        z, b, bottom, top = a
        return tw.cold_pool(z, b, bottom, THRESHOLD, top, n_threads=nt)

    rows = scaling(SIZES, make, call)
    rep.scaling["cold_pool"] = rows
    (z1, b1, nb1, nt1), _ = make(1)
    tiny = per_call(lambda: tw.cold_pool(z1, b1, nb1, THRESHOLD, nt1), 2000)
    lines += [f"Columns of {LEVELS} levels, threshold mode (buoyancy 0); columns per second:", ""]
    lines += scaling_lines(rows, "columns", "column", "A one-column call", tiny)
    speedup_goal(rep, "cold_pool", rows, "columns")

    (z, b, bottom, top), n = make(PEER_N)
    times = interleaved({
        "tarnwell 1 thread": lambda: tw.cold_pool(z, b, bottom, THRESHOLD, top, n_threads=1),
        "tarnwell 2 threads": lambda: tw.cold_pool(z, b, bottom, THRESHOLD, top, n_threads=2),
        "vectorised NumPy": lambda: numpy_cold_pool(z, b, THRESHOLD),
    }, repeats=REPEATS)
    t2 = times["tarnwell 2 threads"]
    lines += [f"Against NumPy, {n:,} columns (interleaved, median):", "",
              "| Implementation | Time | Columns/s | tarnwell 2 threads is faster by |", "|---|---|---|---|"]
    for k, v in times.items():
        lines.append(f"| {k} | {fmt_sec(v)} | {fmt_rate(n / v)} | {v / t2:.2f}x |")
    lines += ["", "The NumPy version integrates every level of every column and handles neither missing "
              "levels nor a bottom height nor fixed-depth mode; tarnwell stops each column at its crossing."]
    rep.peer_ratios.append(("cold_pool vs vectorised NumPy", times["vectorised NumPy"] / t2))
    ours = tw.cold_pool(z, b, bottom, THRESHOLD, top)
    ref = numpy_cold_pool(z, b, THRESHOLD)
    rep.compare("cold_pool", "intensity, depth and flag vs the vectorised NumPy threshold mode", ref, ours,
                "same trapezoids summed left to right (cumsum) and the same crossing formula")
