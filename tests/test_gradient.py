import numpy as np
import pytest
from scalar_ref import INF, NAN, QUIET_NAN_BITS, assert_same, div, finite, struct_bits

import _tarnwell as tw


def rule(g, c, q):
    """Derivative at q of the line g over coordinates c: centred over both
    neighbours, one-sided next to a missing one, NaN without any."""
    if not finite(g[q]):
        return NAN
    lo = q >= 1 and finite(g[q - 1])
    up = q + 1 < len(g) and finite(g[q + 1])
    if lo and up:
        return div(g[q + 1] - g[q - 1], c[q + 1] - c[q - 1])
    if lo:
        return div(g[q] - g[q - 1], c[q] - c[q - 1])
    if up:
        return div(g[q + 1] - g[q], c[q + 1] - c[q])
    return NAN


def gradient_ref(f, x, y):
    f = np.asarray(f, dtype=float)
    x = [float(v) for v in np.ravel(x)]
    y = [float(v) for v in np.ravel(y)]
    b, ny, nx = f.shape
    out = np.empty((2, b, ny, nx))
    for k in range(b):
        for j in range(ny):
            row = [float(v) for v in f[k, j]]
            for i in range(nx):
                out[0, k, j, i] = rule(row, x, i)
                out[1, k, j, i] = rule([float(v) for v in f[k, :, i]], y, j)
    return out


def sprinkle(f, rng, frac=0.08):
    """Missing values: NaN and both infinities at random points."""
    f = f.copy()
    flat = f.reshape(-1)
    pos = rng.choice(flat.size, size=max(1, int(frac * flat.size)), replace=False)
    flat[pos] = rng.choice([NAN, INF, -INF], size=pos.size)
    return f


def coords(kind, n, rng):
    if kind == "uniform":
        return 500.0 + 250.0 * np.arange(n)
    if kind == "non-uniform":
        return np.cumsum(rng.uniform(0.1, 3.0, n)) * 1000.0
    if kind == "decreasing":
        return -np.cumsum(rng.uniform(0.5, 2.0, n))
    if kind == "repeated":
        c = np.round(np.cumsum(rng.uniform(0.0, 2.0, n)))  # some equal neighbours
        c[n // 2] = c[n // 2 - 1]
        return c
    raise ValueError(kind)


def test_worked_examples():
    r = tw.gradient([[[0.0, 1.0, 4.0, 9.0]]], [0.0, 1.0, 2.0, 3.0], [0.0])
    assert r.shape == (2, 1, 1, 4)
    assert_same(r[0, 0, 0], [1.0, 2.0, 4.0, 5.0])
    r = tw.gradient([[[0.0, 1.0, NAN, 9.0]]], [0.0, 1.0, 2.0, 3.0], [0.0])
    assert_same(r[0, 0, 0], [1.0, 1.0, NAN, NAN])
    assert np.isnan(r[1]).all()  # a single row has no y neighbours
    # Non-uniform spacing: the secant over both neighbours, not a weighted fit.
    assert tw.gradient([[[0.0, 1.0, 9.0]]], [0.0, 1.0, 3.0], [7.0])[0, 0, 0, 1] == 3.0


def test_missing_points_are_quiet_nan():
    f = np.array([[[1.0, NAN, 2.0], [INF, 5.0, -INF], [3.0, 4.0, 6.0]]])
    r = tw.gradient(f, [0.0, 1.0, 2.0], [0.0, 1.0, 2.0])
    for c, j, i in [(0, 0, 1), (1, 0, 1), (0, 1, 0), (1, 1, 2), (0, 1, 1)]:
        assert struct_bits(r[c, 0, j, i]) == QUIET_NAN_BITS
    # Row 1 column 1: both x neighbours are infinite, so d/dx is NaN; of its
    # y neighbours only row 2 is usable, so d/dy is one-sided upwards.
    assert r[1, 0, 1, 1] == 4.0 - 5.0


KINDS = ["uniform", "non-uniform", "decreasing", "repeated"]


@pytest.mark.parametrize("xkind", KINDS)
@pytest.mark.parametrize("ykind", KINDS)
def test_bit_exact_against_scalar_reference(xkind, ykind):
    rng = np.random.default_rng([KINDS.index(xkind), KINDS.index(ykind)])
    f = sprinkle(rng.normal(280.0, 15.0, (3, 11, 13)), rng)
    x, y = coords(xkind, 13, rng), coords(ykind, 11, rng)
    assert_same(tw.gradient(f, x, y), gradient_ref(f, x, y))


def test_extreme_values_and_coordinates():
    # Differences that overflow, coordinates that are themselves missing, and
    # signed zero spacings: IEEE arithmetic carries them (the sign of a zero
    # decides the sign of an infinity); only f decides what is usable.
    f = np.array(
        [
            [
                [1e308, -1e308, 1e308, 0.0, 3.0],
                [1.0, 2.0, 4.0, 8.0, 3.0],
                [0.5, NAN, 1e-300, -0.0, 2.0],
            ]
        ]
    )
    x = np.array([0.0, NAN, 1e-310, INF, -INF])
    y = np.array([-0.0, 0.0, -0.0])
    assert_same(tw.gradient(f, x, y), gradient_ref(f, x, y))


def test_huge_and_tiny_finite_values():
    # Finite values whose differences (and sums) overflow, next to subnormal
    # ones: all usable, so IEEE arithmetic alone decides the results.
    rng = np.random.default_rng(8)
    f = rng.choice([1.7e308, -1.7e308, 5e-324, -3e-320, 0.0, -0.0, 1.0], size=(2, 9, 12))
    x, y = coords("non-uniform", 12, rng), coords("repeated", 9, rng)
    assert_same(tw.gradient(f, x, y), gradient_ref(f, x, y))


@pytest.mark.parametrize("b", [0, 1, 2])
@pytest.mark.parametrize("ny", [0, 1, 2, 3])
@pytest.mark.parametrize("nx", [0, 1, 2, 3])
def test_small_extents(b, ny, nx):
    rng = np.random.default_rng(100 * b + 10 * ny + nx)
    f = rng.normal(0.0, 1.0, (b, ny, nx))
    if f.size > 2:
        f = sprinkle(f, rng, 0.2)
    x, y = coords("non-uniform", nx, rng), coords("non-uniform", ny, rng)
    r = tw.gradient(f, x, y)
    assert r.shape == (2, b, ny, nx)
    assert_same(r, gradient_ref(f, x, y))
    if nx == 1:
        assert np.isnan(r[0]).all()
    if nx == 2:
        # Both points of a line share one one-sided difference.
        assert_same(r[0, ..., 0], r[0, ..., 1])


def test_many_empty_rows_return_at_once():
    # 10^15 rows of no points: an empty result, not a loop over the rows.
    f = np.empty((10**12, 1000, 0))
    r = tw.gradient(f, [], np.zeros(1000))
    assert r.shape == (2, 10**12, 1000, 0)


def test_agrees_with_numpy_gradient_on_uniform_grid():
    # Exactly representable spacings, so NumPy sees a uniform grid and both
    # compute (f[q+1] - f[q-1]) / (2 h) inside and (f[1] - f[0]) / h at edges.
    rng = np.random.default_rng(3)
    f = rng.normal(0.0, 10.0, (4, 29, 33))
    x = -8000.0 + 500.0 * np.arange(33)
    y = 3.0 * 0.25 * np.arange(29)[::-1]  # decreasing, uniform
    gy, gx = np.gradient(f, y, x, axis=(1, 2))
    r = tw.gradient(f, x, y, n_threads=2)
    assert_same(r[0], gx)
    assert_same(r[1], gy)


def test_shape_checks_in_order():
    f = np.zeros((2, 3, 4))
    with pytest.raises(ValueError, match=r"^f must be 3-D \(batch, y, x\)$"):
        tw.gradient(f[0], np.zeros(4), np.zeros(3))  # one field still needs its batch axis
    for bad in (np.zeros((1, 2, 3, 4)), np.zeros(4), 1.0, None):
        with pytest.raises(ValueError, match=r"^f must be 3-D \(batch, y, x\)$"):
            tw.gradient(bad, np.zeros(7), np.zeros(7))  # coordinates not looked at
    for x, y in (
        (np.zeros(5), np.zeros(3)),
        (np.zeros(4), np.zeros(2)),
        (np.zeros(5), np.zeros(9)),
    ):
        with pytest.raises(ValueError, match="^coordinate size$"):
            tw.gradient(f, x, y)
    # Only the element count of a coordinate matters, not its shape.
    rng = np.random.default_rng(4)
    f = rng.normal(size=(2, 3, 4))
    x, y = coords("uniform", 4, rng), coords("non-uniform", 3, rng)
    assert_same(tw.gradient(f, x.reshape(1, 4), y.reshape(3, 1)), tw.gradient(f, x, y))


def test_unconvertible_arguments_are_type_errors():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        tw.gradient([[["a", "b"]]], [0.0, 1.0], [0.0])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        tw.gradient(np.zeros((1, 1, 2)), [0.0, 1.0], [0.0], n_threads=1.5)
    # Nested lists and integers are read as float64.
    assert_same(tw.gradient([[[0, 1, 4, 9]]], [0, 1, 2, 3], [0])[0, 0, 0], [1.0, 2.0, 4.0, 5.0])
