"""gradient: grid points per second on batches of fields, against
numpy.gradient and MetPy's gradient, and against copying the same bytes;
agreement with both on a uniform grid."""

from __future__ import annotations

import data
import numpy as np
from harness import TW1, TW2, Case, Goal, control, ours, quiet, rival, speedup_goal

import _tarnwell as tw

UNIT = "point"
NUMPY = "numpy.gradient, scalar spacings"
COPY = "copy: np.stack((f, f))"


def sizes(ctx):
    return ctx.pick(
        [(1, 100, 100), (1, 316, 316), (1, 1000, 1000), (10, 1000, 1000)],
        [(1, 10, 10), (1, 30, 30), (2, 50, 60)],
    )


def make(shape):
    f, x, y = data.synthetic_fields(*shape)
    return (f, x, y), f.size


def call(args, n_threads):
    return tw.gradient(*args, n_threads=n_threads)


def tiny():
    (f, x, y), _ = make((1, 3, 3))
    return "A 3×3 call", lambda: tw.gradient(f, x, y)


def metpy_gradient(f, x, y):
    import metpy.calc as mpcalc
    from metpy.units import units

    with quiet():
        return mpcalc.gradient(f * units.K, coordinates=(y * units.m, x * units.m), axes=(1, 2))


def cases(ctx):
    shape = ctx.pick((4, 1000, 1000), (2, 40, 50))
    # A few missing points, so that the fallback around them is timed too.
    f, x, y = data.synthetic_fields(*shape, missing=0.001)
    n = f.size
    dx, dy = float(x[1] - x[0]), float(y[1] - y[0])
    expected = tw.gradient(f, x, y)

    def agrees(got):
        theirs = np.stack(got[::-1])  # numpy returns (d/dy, d/dx)
        # Next to a missing point numpy gives NaN where tarnwell falls back
        # to a one-sided difference: compared where both have a value.
        both = np.isfinite(theirs) & np.isfinite(expected)
        np.testing.assert_allclose(theirs[both], expected[both], rtol=1e-9)

    yield (
        "peers",
        Case(
            f"Against the peers, shape {shape}",
            UNIT,
            {
                TW1: ours(lambda: tw.gradient(f, x, y, n_threads=1), n),
                TW2: ours(lambda: tw.gradient(f, x, y, n_threads=2), n),
                NUMPY: rival(lambda: np.gradient(f, dy, dx, axis=(1, 2)), n, check=agrees),
                "numpy.gradient, coordinate arrays": rival(
                    lambda: np.gradient(f, y, x, axis=(1, 2)), n, check=agrees
                ),
                "MetPy gradient (coordinates)": rival(lambda: metpy_gradient(f, x, y), n, "metpy"),
                COPY: control(lambda: np.stack((f, f)), n),
            },
            notes=[
                "tarnwell also tests every point for missing values (0.1 % here) and falls back "
                "to one-sided differences around them; the peers do neither."
            ],
        ),
    )


GOALS = [
    speedup_goal("gradient"),
    Goal(
        "gradient",
        "≥ 2x numpy.gradient",
        "peers",
        NUMPY,
        TW2,
        at_least=2.0,
        note="2 threads, against its fastest form",
    ),
    Goal("gradient", "≤ 2x the copy time (1 thread)", "peers", TW1, COPY, at_most=2.0),
]


def agreement(ctx, rep, lines):
    f, x, y = data.synthetic_fields(*ctx.pick((3, 200, 300), (1, 20, 30)))
    got = tw.gradient(f, x, y)
    gy, gx = np.gradient(f, y, x, axis=(1, 2))
    why = (
        "same centred and one-sided differences; on exactly representable coordinates "
        "numpy's (f[i+1] - f[i-1]) / (2 dx) and the secant over both neighbours round alike"
    )
    rep.compare("gradient", "∂f/∂x vs numpy.gradient (all points, edges included)", gx, got[0], why)
    rep.compare(
        "gradient",
        "∂f/∂y vs numpy.gradient (all points, edges included)",
        gy,
        got[1],
        "as for ∂f/∂x",
    )
    if ctx.peers.get("metpy") is None:
        rep.note(f"gradient, MetPy agreement: {ctx.peers.missing('metpy')}")
        return
    my, mx = metpy_gradient(f, x, y)
    mx, my = mx.m_as("K/m"), my.m_as("K/m")
    rep.compare(
        "gradient",
        "∂f/∂x vs MetPy gradient, interior points",
        mx[:, :, 1:-1],
        got[0][:, :, 1:-1],
        "MetPy's three-point non-uniform formula equals the centred "
        "difference on a uniform grid up to rounding; at the edges MetPy is second-order "
        "one-sided and tarnwell first-order, so edges are left out",
    )
    rep.compare(
        "gradient",
        "∂f/∂y vs MetPy gradient, interior points",
        my[:, 1:-1, :],
        got[1][:, 1:-1, :],
        "as for ∂f/∂x",
    )
