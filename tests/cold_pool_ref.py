"""Independent scalar evaluation of the cold-pool diagnostics of one column,
shared by the kernel's tests and the tests of the NumPy peer it is
benchmarked against."""

import math

import numpy as np
from scalar_ref import NAN, c_sqrt, div


def intensity_ref(S):
    V = S + S
    if V < 0.0:
        V = 0.0
    return c_sqrt(V)


def column_ref(z, b, B, T, D):
    """One column, plain Python floats, one rounding per operation."""
    L = len(z)
    bounded = math.isfinite(B)
    s = next(
        (
            k
            for k in range(L)
            if math.isfinite(z[k]) and math.isfinite(b[k]) and (not bounded or z[k] >= B)
        ),
        None,
    )
    if s is None:
        return NAN, NAN, NAN
    zs, zp, bp, acc = z[s], z[s], b[s], 0.0
    fixed = math.isfinite(D)
    if fixed:
        zt = zs + D
    elif b[s] >= T:
        return 0.0, 0.0, 0.0
    for k in range(s + 1, L):
        zk, bk = z[k], b[k]
        if not (math.isfinite(zk) and math.isfinite(bk)):
            continue
        if fixed and zk >= zt:
            bt = div((bk - bp) * (zt - zp), zk - zp) + bp
            S = (((-bp) - bt) * 0.5) * (zt - zp) + acc
            return intensity_ref(S), D, 0.0
        if not fixed and bk >= T:
            zc = div((zk - zp) * (T - bp), bk - bp) + zp
            S = (((-bp) - T) * 0.5) * (zc - zp) + acc
            return intensity_ref(S), zc - zs, 0.0
        acc = acc + (((-bp) - bk) * 0.5) * (zk - zp)
        zp, bp = zk, bk
    if fixed:
        return NAN, NAN, NAN
    return intensity_ref(acc), zp - zs, 1.0


def cold_pool_ref(z, b, bottom, T, top):
    z, b = np.asarray(z, dtype=float), np.asarray(b, dtype=float)
    bottom, top = np.ravel(np.asarray(bottom, dtype=float)), np.ravel(np.asarray(top, dtype=float))
    out = np.empty((3, z.shape[0]))
    for i in range(z.shape[0]):
        out[:, i] = column_ref(
            z[i].tolist(), b[i].tolist(), float(bottom[i]), float(T), float(top[i])
        )
    return out
