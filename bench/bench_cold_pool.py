"""cold_pool: columns per second in threshold and fixed-depth mode and over
whole columns, against the vectorised NumPy a user would write for threshold
mode on complete columns, and against one streaming read of its inputs."""

from __future__ import annotations

import controls
import data
import numpy as np
from harness import TW1, TW2, Case, Goal, control, ours, rival, speedup_goal

import _tarnwell as tw

UNIT = "column"
LEVELS = 50
THRESHOLD = 0.0


def sizes(ctx):
    return ctx.pick([400, 4_000, 40_000, 400_000], [40, 400, 4_000])


def make(n):
    z, b = data.synthetic_cold_pools(n, LEVELS)
    return (z, b, np.full(n, np.nan), np.full(n, np.nan)), n


def call(args, n_threads):
    z, b, bottom, top = args
    return tw.cold_pool(z, b, bottom, THRESHOLD, top, n_threads=n_threads)


def tiny():
    (z, b, bottom, top), _ = make(1)
    return "A one-column call", lambda: tw.cold_pool(z, b, bottom, THRESHOLD, top)


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
    return np.stack([np.where(warm, 0.0, x) for x in (intensity, depth, flag)])


def cases(ctx):
    n = ctx.pick(200_000, 2_000)
    (z, b, bottom, nan_top), _ = make(n)
    fixed_top = np.full(n, 1000.0)
    expected = tw.cold_pool(z, b, bottom, THRESHOLD, nan_top)

    def same_bits(got):
        # Same trapezoids summed left to right and the same crossing formula.
        np.testing.assert_array_equal(got, expected)

    def run(threshold, top, nt):
        return lambda: tw.cold_pool(z, b, bottom, threshold, top, n_threads=nt)

    yield (
        "modes",
        Case(
            f"Modes, against NumPy and the memory floor, {n:,} columns of {LEVELS} levels",
            UNIT,
            {
                TW1: ours(run(THRESHOLD, nan_top, 1), n),
                TW2: ours(run(THRESHOLD, nan_top, 2), n),
                "tarnwell fixed 1000 m, 1 thread": ours(run(THRESHOLD, fixed_top, 1), n),
                "tarnwell fixed 1000 m, 2 threads": ours(run(THRESHOLD, fixed_top, 2), n),
                # Never reached: every column integrated over all its levels.
                "tarnwell threshold +inf, 1 thread": ours(run(np.inf, nan_top, 1), n),
                "tarnwell threshold +inf, 2 threads": ours(run(np.inf, nan_top, 2), n),
                "vectorised NumPy": rival(
                    lambda: numpy_cold_pool(z, b, THRESHOLD), n, check=same_bits
                ),
                "read z and b once, 1 thread": control(controls.read_floor([z, b], 1), n),
                "read z and b once, 2 threads": control(controls.read_floor([z, b], 2), n),
            },
            notes=[
                "Threshold mode at buoyancy 0 unless stated. The NumPy version integrates every "
                "level of every column and handles neither missing levels nor a bottom height nor "
                "fixed-depth mode; tarnwell stops each column at its crossing."
            ],
        ),
    )


GOALS = [
    speedup_goal("cold_pool"),
    Goal("cold_pool", "≥ 5x the vectorised NumPy", "modes", "vectorised NumPy", TW2, at_least=5.0),
]


def agreement(ctx, rep, lines):
    n = ctx.pick(200_000, 2_000)
    (z, b, bottom, top), _ = make(n)
    rep.compare(
        "cold_pool",
        "intensity, depth and flag vs the vectorised NumPy threshold mode",
        numpy_cold_pool(z, b, THRESHOLD),
        tw.cold_pool(z, b, bottom, THRESHOLD, top),
        "same trapezoids summed left to right (cumsum) and the same crossing formula",
    )
