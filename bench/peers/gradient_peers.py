"""gradient against numpy.gradient and MetPy's gradient on a uniform grid."""

import warnings

import numpy as np

import _tarnwell as tw
import data
import peers
from report import fmt_rate, fmt_sec
from timing import REPEATS, interleaved, per_call, scaling, scaling_lines, speedup_goal

SHAPES = [(1, 100, 100), (1, 316, 316), (1, 1000, 1000), (10, 1000, 1000)]
PEER_SHAPE = (4, 1000, 1000)


def run(rep):
    lines = rep.section("gradient")
    if not hasattr(tw, "gradient"):
        lines.append("`gradient` is not in this build of the module: nothing measured.")
        rep.goal("gradient", "≥ 2x numpy.gradient", "kernel not built", None)
        return

    def make(shape):
        f, x, y = data.synthetic_fields(*shape)
        return (f, x, y), f.size

    rows = scaling(SHAPES, make, lambda a, nt: tw.gradient(*a, n_threads=nt))
    rep.scaling["gradient"] = rows
    f1, x1, y1 = data.synthetic_fields(1, 3, 3)
    tiny = per_call(lambda: tw.gradient(f1, x1, y1), 2000)
    lines += ["Grid points per second (both components of each point):", ""]
    lines += scaling_lines(rows, "points", "point", "A 3×3 call", tiny, sizes=SHAPES)
    speedup_goal(rep, "gradient", rows, "points")

    f, x, y = data.synthetic_fields(*PEER_SHAPE)
    n = f.size
    dx = float(x[1] - x[0])
    dy = float(y[1] - y[0])
    fns = {"tarnwell 1 thread": lambda: tw.gradient(f, x, y, n_threads=1),
           "tarnwell 2 threads": lambda: tw.gradient(f, x, y, n_threads=2),
           "numpy.gradient, scalar spacings": lambda: np.gradient(f, dy, dx, axis=(1, 2)),
           "numpy.gradient, coordinate arrays": lambda: np.gradient(f, y, x, axis=(1, 2))}
    mp = peers.get("metpy")
    if mp is not None:
        from metpy.units import units
        fq = f * units.K
        yq, xq = y * units.m, x * units.m
        fns["MetPy gradient (coordinates)"] = lambda: mp.gradient(fq, coordinates=(yq, xq), axes=(1, 2))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        times = interleaved(fns, repeats=REPEATS)
    t2 = times["tarnwell 2 threads"]
    lines += [f"Against the peers, shape {PEER_SHAPE} (interleaved, median):", "",
              "| Implementation | Time | Points/s | tarnwell 2 threads is faster by |", "|---|---|---|---|"]
    for k, v in times.items():
        lines.append(f"| {k} | {fmt_sec(v)} | {fmt_rate(n / v)} | {v / t2:.2f}x |")
    if mp is None:
        lines.append(f"| MetPy | {peers.missing_note('metpy')} | | |")
    lines += ["", "tarnwell also tests every point for missing values and falls back to one-sided "
              "differences around them; the peers do neither."]
    ratio = times["numpy.gradient, scalar spacings"] / t2
    rep.goal("gradient", "≥ 2x numpy.gradient", f"{ratio:.2f}x (2 threads, against its fastest form)", ratio >= 2.0)
    rep.peer_ratios.append(("gradient vs numpy.gradient", ratio))
    if mp is not None:
        rep.peer_ratios.append(("gradient vs MetPy gradient", times["MetPy gradient (coordinates)"] / t2))

    # Agreement on a uniform grid without missing values.
    f, x, y = data.synthetic_fields(3, 200, 300)
    ours = tw.gradient(f, x, y)
    gy, gx = np.gradient(f, y, x, axis=(1, 2))
    why = ("same centred and one-sided differences; on exactly representable coordinates numpy's "
           "(f[i+1] - f[i-1]) / (2 dx) and the secant over both neighbours round alike")
    rep.compare("gradient", "∂f/∂x vs numpy.gradient (all points, edges included)", gx, ours[0], why)
    rep.compare("gradient", "∂f/∂y vs numpy.gradient (all points, edges included)", gy, ours[1], "as for ∂f/∂x")
    if mp is not None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            from metpy.units import units
            my, mx = mp.gradient(f * units.K, coordinates=(y * units.m, x * units.m), axes=(1, 2))
        mx, my = mx.m_as("K/m"), my.m_as("K/m")
        rep.compare("gradient", "∂f/∂x vs MetPy gradient, interior points", mx[:, :, 1:-1], ours[0][:, :, 1:-1],
                    "MetPy's three-point non-uniform formula equals the centred difference on a uniform grid up to rounding; "
                    "at the edges MetPy is second-order one-sided and tarnwell first-order, so edges are left out")
        rep.compare("gradient", "∂f/∂y vs MetPy gradient, interior points", my[:, 1:-1, :], ours[1][:, 1:-1, :],
                    "as for ∂f/∂x")
