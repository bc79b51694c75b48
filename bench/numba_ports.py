"""numba ports of the five kernels: what a speed-minded user writes instead.

Each port is the kernel's arithmetic written out in the same order of
operations, compiled by numba with ``parallel=True`` and a ``prange`` over the
work items (elements, columns, rows or rings), without ``fastmath``, so its
results are meant to agree with ``_tarnwell`` bit for bit; the benchmark checks
that they do. Call signatures and result layouts are those of ``_tarnwell``;
``n_threads`` goes to ``numba.set_num_threads``.

Also here: the numexpr form of ``thermo``, the other tool such a user reaches
for on element-wise formulas.
"""

from __future__ import annotations

import math
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

try:
    import numba
    from numba import njit, prange
except ImportError:  # reported by the benchmark, not raised at import
    numba = None

try:
    import numexpr
except ImportError:
    numexpr = None


def _jit(fn):
    return njit(parallel=True, fastmath=False, cache=False)(fn) if numba is not None else fn


def _jit_serial(fn):
    return njit(fastmath=False, cache=False, inline="always")(fn) if numba is not None else fn


# ---------------------------------------------------------------- thermo


def _thermo_impl(t, p, td, out):
    n = t.size
    for i in prange(n):
        T = t[i]
        P = p[i]
        D = td[i]
        if D != D:
            Dc = D
        elif D < T:
            Dc = D
        else:
            Dc = T
        A = 100000.0 / P
        Pi = math.pow(A, 0.28542059262205427)
        theta = Pi * T
        Tc = Dc - 273.15
        e = math.exp((Tc * 17.67) / (Tc + 243.5)) * 611.2
        w = (e * 0.6219569156569429) / (P - e)
        thv = ((w / 0.6219569156569429 + 1.0) * theta) / (w + 1.0)
        r = w * 1000.0
        L = math.log(T / Dc)
        TL = 1.0 / (L / 800.0 + 1.0 / (Dc - 56.0)) + 56.0
        E = math.exp(((3.376 / TL - 0.00254) * r) * (r * 0.00081 + 1.0))
        Q = math.pow(A, (1.0 - r * 0.00028) * 0.2854)
        out[0, i] = w
        out[1, i] = theta
        out[2, i] = thv
        out[3, i] = E * (Q * T)


_thermo_kernel = _jit(_thermo_impl)


def thermo(t, p, td, n_threads=0):
    t, p, td = (np.ascontiguousarray(a, dtype=np.float64).ravel() for a in (t, p, td))
    out = np.empty((4, t.size))
    _with_threads(n_threads, _thermo_kernel, t, p, td, out)
    return out


def thermo_numexpr(t, p, td, n_threads=0):
    """thermo in numexpr, step by step in the same order (numexpr keeps the
    operation order of each expression and does not fuse multiply-adds)."""
    if n_threads > 0:
        numexpr.set_num_threads(n_threads)
    v = {
        k: np.ascontiguousarray(a, dtype=np.float64).ravel()
        for k, a in zip("tpd", (t, p, td), strict=True)
    }
    steps = [
        ("Dc", "where(d != d, d, where(d < t, d, t))"),
        ("A", "100000.0 / p"),
        ("theta", "A ** 0.28542059262205427 * t"),
        ("Tc", "Dc - 273.15"),
        ("e", "exp((Tc * 17.67) / (Tc + 243.5)) * 611.2"),
        ("w", "(e * 0.6219569156569429) / (p - e)"),
        ("thv", "((w / 0.6219569156569429 + 1.0) * theta) / (w + 1.0)"),
        ("r", "w * 1000.0"),
        ("TL", "1.0 / (log(t / Dc) / 800.0 + 1.0 / (Dc - 56.0)) + 56.0"),
        (
            "the",
            "exp(((3.376 / TL - 0.00254) * r) * (r * 0.00081 + 1.0))"
            " * (A ** ((1.0 - r * 0.00028) * 0.2854) * t)",
        ),
    ]
    for name, expr in steps:
        v[name] = numexpr.evaluate(expr, local_dict=v)
    return np.stack([v["w"], v["theta"], v["thv"], v["the"]])


# ---------------------------------------------------------------- cold_pool


def _cold_pool_impl(z, b, bottom, threshold, top, out):
    n, L = b.shape
    for i in prange(n):
        out[0, i] = np.nan
        out[1, i] = np.nan
        out[2, i] = np.nan
        B = bottom[i]
        D = top[i]
        bounded = math.isfinite(B)
        s = 0
        while s < L and not (
            math.isfinite(z[i, s]) and math.isfinite(b[i, s]) and (not bounded or z[i, s] >= B)
        ):
            s += 1
        if s == L:
            continue
        zs = z[i, s]
        zp = zs
        bp = b[i, s]
        S = 0.0
        if math.isfinite(D):
            zt = zs + D
            for k in range(s + 1, L):
                zk = z[i, k]
                bk = b[i, k]
                if not (math.isfinite(zk) and math.isfinite(bk)):
                    continue
                if zk >= zt:
                    bt = ((bk - bp) * (zt - zp)) / (zk - zp) + bp
                    V = (((-bp) - bt) * 0.5) * (zt - zp) + S
                    V = V + V
                    if V < 0.0:
                        V = 0.0
                    out[0, i] = math.sqrt(V)
                    out[1, i] = D
                    out[2, i] = 0.0
                    break
                S = S + (((-bp) - bk) * 0.5) * (zk - zp)
                zp = zk
                bp = bk
            continue
        if b[i, s] >= threshold:
            out[0, i] = 0.0
            out[1, i] = 0.0
            out[2, i] = 0.0
            continue
        closed = False
        for k in range(s + 1, L):
            zk = z[i, k]
            bk = b[i, k]
            if not (math.isfinite(zk) and math.isfinite(bk)):
                continue
            if bk >= threshold:
                zc = ((zk - zp) * (threshold - bp)) / (bk - bp) + zp
                V = (((-bp) - threshold) * 0.5) * (zc - zp) + S
                V = V + V
                if V < 0.0:
                    V = 0.0
                out[0, i] = math.sqrt(V)
                out[1, i] = zc - zs
                out[2, i] = 0.0
                closed = True
                break
            S = S + (((-bp) - bk) * 0.5) * (zk - zp)
            zp = zk
            bp = bk
        if not closed:
            V = S + S
            if V < 0.0:
                V = 0.0
            out[0, i] = math.sqrt(V)
            out[1, i] = zp - zs
            out[2, i] = 1.0


_cold_pool_kernel = _jit(_cold_pool_impl)


def cold_pool(z, b, bottom, threshold, top, n_threads=0):
    z = np.ascontiguousarray(z, dtype=np.float64)
    b = np.ascontiguousarray(b, dtype=np.float64)
    bottom = np.ascontiguousarray(bottom, dtype=np.float64).ravel()
    top = np.ascontiguousarray(top, dtype=np.float64).ravel()
    out = np.empty((3, b.shape[0]))
    _with_threads(n_threads, _cold_pool_kernel, z, b, bottom, float(threshold), top, out)
    return out


# ---------------------------------------------------------------- profile


def _usable3(z, u, v, i, k):
    return math.isfinite(z[i, k]) and math.isfinite(u[i, k]) and math.isfinite(v[i, k])


_usable3_j = _jit_serial(_usable3)


def _wind_at_height(z, u, v, i, L, h):
    """(found, u, v) at height h in column i."""
    m = -1
    for k in range(L):
        if not _usable3_j(z, u, v, i, k):
            continue
        zk = z[i, k]
        if zk == h:
            return True, u[i, k], v[i, k]
        if zk > h:
            if m >= 0:
                w = (h - z[i, m]) / (zk - z[i, m])
                return True, (u[i, k] - u[i, m]) * w + u[i, m], (v[i, k] - v[i, m]) * w + v[i, m]
            if zk - h > 1e-6:
                return False, 0.0, 0.0
            return True, u[i, k], v[i, k]
        m = k
    if m >= 0 and h - z[i, m] <= 1e-6:
        return True, u[i, m], v[i, m]
    return False, 0.0, 0.0


_wind_at_height_j = _jit_serial(_wind_at_height)


def _profile_impl(z, u, v, ground, bottom, top, cu, cv, out):
    n, L = u.shape
    for i in prange(n):
        for r in range(7):
            out[r, i] = np.nan
        base = ground[i]
        if not math.isfinite(base):
            k = 0
            while k < L and not _usable3_j(z, u, v, i, k):
                k += 1
            if k == L:
                continue
            base = z[i, k]
        zb = base + bottom
        ok, ub, vb = _wind_at_height_j(z, u, v, i, L, zb)
        if not ok:
            continue
        zt = base + top
        ok, ut, vt = _wind_at_height_j(z, u, v, i, L, zt)
        if not ok:
            continue
        out[0, i] = ub
        out[1, i] = vb
        out[2, i] = ut
        out[3, i] = vt
        c_u = cu[i]
        c_v = cv[i]
        zp = zb
        up = ub
        vp = vb
        H = 0.0
        Su = 0.0
        Sv = 0.0
        for k in range(L):
            if not _usable3_j(z, u, v, i, k) or z[i, k] <= zb:
                continue
            if z[i, k] >= zt:
                break
            dz = z[i, k] - zp
            H = H + (((u[i, k] - c_u) * (vp - c_v)) - ((v[i, k] - c_v) * (up - c_u)))
            Su = Su + (((u[i, k] + up) * 0.5) * dz)
            Sv = Sv + (((v[i, k] + vp) * 0.5) * dz)
            zp = z[i, k]
            up = u[i, k]
            vp = v[i, k]
        if math.isfinite(c_u) and math.isfinite(c_v):
            out[4, i] = (((vp - c_v) * (ut - c_u)) - ((up - c_u) * (vt - c_v))) + H
        if zt > zb:
            depth = zt - zb
            out[5, i] = ((((up + ut) * 0.5) * (zt - zp)) + Su) / depth
            out[6, i] = ((((vp + vt) * 0.5) * (zt - zp)) + Sv) / depth
        else:
            out[5, i] = ub
            out[6, i] = vb


_profile_kernel = _jit(_profile_impl)


def profile(z, u, v, ground, bottom, top, cu, cv, n_threads=0):
    u = np.ascontiguousarray(u, dtype=np.float64)
    z = np.ascontiguousarray(z, dtype=np.float64).reshape(u.shape)
    v = np.ascontiguousarray(v, dtype=np.float64).reshape(u.shape)
    ground, cu, cv = (np.ascontiguousarray(a, dtype=np.float64).ravel() for a in (ground, cu, cv))
    out = np.empty((7, u.shape[0]))
    _with_threads(
        n_threads, _profile_kernel, z, u, v, ground, float(bottom), float(top), cu, cv, out
    )
    return out


# ---------------------------------------------------------------- gradient


def _diff(g0, g1, g2, c0, c1, c2, has_lo, has_hi):
    """Difference at the middle point g1 with neighbours g0 and g2."""
    if not math.isfinite(g1):
        return np.nan
    lo = has_lo and math.isfinite(g0)
    hi = has_hi and math.isfinite(g2)
    if lo and hi:
        return (g2 - g0) / (c2 - c0)
    if lo:
        return (g1 - g0) / (c1 - c0)
    if hi:
        return (g2 - g1) / (c2 - c1)
    return np.nan


_diff_j = _jit_serial(_diff)


def _gradient_impl(f, x, y, out):
    B, NY, NX = f.shape
    for m in prange(B * NY):
        k = m // NY
        j = m % NY
        for i in range(NX):
            g1 = f[k, j, i]
            g0 = f[k, j, i - 1] if i >= 1 else 0.0
            g2 = f[k, j, i + 1] if i + 1 < NX else 0.0
            c0 = x[i - 1] if i >= 1 else 0.0
            c2 = x[i + 1] if i + 1 < NX else 0.0
            out[0, k, j, i] = _diff_j(g0, g1, g2, c0, x[i], c2, i >= 1, i + 1 < NX)
            h0 = f[k, j - 1, i] if j >= 1 else 0.0
            h2 = f[k, j + 1, i] if j + 1 < NY else 0.0
            d0 = y[j - 1] if j >= 1 else 0.0
            d2 = y[j + 1] if j + 1 < NY else 0.0
            out[1, k, j, i] = _diff_j(h0, g1, h2, d0, y[j], d2, j >= 1, j + 1 < NY)


_gradient_kernel = _jit(_gradient_impl)


def gradient(f, x, y, n_threads=0):
    f = np.ascontiguousarray(f, dtype=np.float64)
    x = np.ascontiguousarray(x, dtype=np.float64).ravel()
    y = np.ascontiguousarray(y, dtype=np.float64).ravel()
    out = np.empty((2,) + f.shape)
    _with_threads(n_threads, _gradient_kernel, f, x, y, out)
    return out


# ---------------------------------------------------------------- vad


def _solve4(A, b):
    """Gaussian elimination with partial pivoting in place; det or 0."""
    det = 1.0
    for k in range(4):
        p = k
        for j in range(k + 1, 4):
            if abs(A[j, k]) > abs(A[p, k]):
                p = j
        if A[p, k] == 0.0:
            return 0.0
        if p != k:
            for c in range(4):
                t = A[k, c]
                A[k, c] = A[p, c]
                A[p, c] = t
            t = b[k]
            b[k] = b[p]
            b[p] = t
            det = -det
        det = det * A[k, k]
        for j in range(k + 1, 4):
            f = A[j, k] / A[k, k]
            for c in range(k, 4):
                A[j, c] = A[j, c] - f * A[k, c]
            b[j] = b[j] - f * b[k]
    x3 = b[3] / A[3, 3]
    x2 = (b[2] - A[2, 3] * x3) / A[2, 2]
    x1 = ((b[1] - A[1, 2] * x2) - A[1, 3] * x3) / A[1, 1]
    x0 = (((b[0] - x1 * A[0, 1]) - x2 * A[0, 2]) - x3 * A[0, 3]) / A[0, 0]
    b[0] = x0
    b[1] = x1
    b[2] = x2
    b[3] = x3
    return det


_solve4_j = _jit_serial(_solve4)


def _vad_impl(vr, az, cos_el, min_gates, min_spread, out):
    R, M = vr.shape
    for i in prange(R):
        for r in range(8):
            out[r, i] = np.nan
        n = 0.0
        Ss = 0.0
        Sc = 0.0
        Sy = 0.0
        for j in range(M):
            y = vr[i, j]
            a = az[i, j]
            if not (math.isfinite(y) and math.isfinite(a)):
                continue
            n = n + 1.0
            Ss = Ss + math.sin(a)
            Sc = Sc + math.cos(a)
            Sy = Sy + y
        out[4, i] = n
        if float(min_gates) > n or 3.0 > n:
            continue
        ms = Ss / n
        mc = Sc / n
        my = Sy / n
        Scs = 0.0
        Sys = 0.0
        Sss = 0.0
        Scc = 0.0
        Syc = 0.0
        for j in range(M):
            y = vr[i, j]
            a = az[i, j]
            if not (math.isfinite(y) and math.isfinite(a)):
                continue
            ds = math.sin(a) - ms
            dc = math.cos(a) - mc
            dy = y - my
            Scs = Scs + dc * ds
            Sys = Sys + dy * ds
            Sss = Sss + ds * ds
            Scc = Scc + dc * dc
            Syc = Syc + dy * dc
        D1 = (Scc * Sss) - (Scs * Scs)
        rho1 = D1 / (n * n)
        if not (rho1 >= min_spread):
            continue
        Bs = ((Sys * Scc) - (Syc * Scs)) / D1
        Bc = ((Syc * Sss) - (Sys * Scs)) / D1
        a0 = (my - Bs * ms) - Bc * mc
        SSR = 0.0
        for j in range(M):
            y = vr[i, j]
            a = az[i, j]
            if not (math.isfinite(y) and math.isfinite(a)):
                continue
            r_ = ((y - a0) - math.sin(a) * Bs) - math.cos(a) * Bc
            SSR = SSR + r_ * r_
        out[0, i] = Bs / cos_el[i]
        out[1, i] = Bc / cos_el[i]
        out[2, i] = a0
        out[3, i] = math.sqrt(SSR / n)
        S2s = 0.0
        S2c = 0.0
        for j in range(M):
            y = vr[i, j]
            a = az[i, j]
            if not (math.isfinite(y) and math.isfinite(a)):
                continue
            t = a + a
            S2s = S2s + math.sin(t)
            S2c = S2c + math.cos(t)
        ms2 = S2s / n
        mc2 = S2c / n
        A = np.zeros((4, 4))
        bb = np.zeros(4)
        g = np.empty(4)
        for j in range(M):
            y = vr[i, j]
            a = az[i, j]
            if not (math.isfinite(y) and math.isfinite(a)):
                continue
            t = a + a
            g[0] = math.sin(a) - ms
            g[1] = math.cos(a) - mc
            g[2] = math.sin(t) - ms2
            g[3] = math.cos(t) - mc2
            dy = y - my
            for r in range(4):
                for q in range(r, 4):
                    A[r, q] = A[r, q] + g[r] * g[q]
                bb[r] = bb[r] + g[r] * dy
        for r in range(1, 4):
            for q in range(r):
                A[r, q] = A[q, r]
        det = _solve4_j(A, bb)
        if det == 0.0:
            continue
        rho2 = det / (((n * n) * n) * n)
        if not (rho2 >= min_spread * 0.25):
            continue
        out[5, i] = (((my - bb[0] * ms) - bb[1] * mc) - bb[2] * ms2) - bb[3] * mc2
        out[6, i] = bb[2]
        out[7, i] = bb[3]


_vad_kernel = _jit(_vad_impl)


def vad(vr, az, cos_el, min_gates, min_spread, n_threads=0):
    vr = np.ascontiguousarray(vr, dtype=np.float64)
    az = np.ascontiguousarray(az, dtype=np.float64)
    cos_el = np.ascontiguousarray(cos_el, dtype=np.float64).ravel()
    out = np.empty((8, vr.shape[0]))
    _with_threads(n_threads, _vad_kernel, vr, az, cos_el, int(min_gates), float(min_spread), out)
    return out


# ---------------------------------------------------------------- running

PORTS = {
    "thermo": thermo,
    "cold_pool": cold_pool,
    "profile": profile,
    "gradient": gradient,
    "vad": vad,
}


def _with_threads(n_threads, kernel, *args):
    if numba is None:
        raise RuntimeError("numba is not installed")
    limit = numba.config.NUMBA_NUM_THREADS
    numba.set_num_threads(min(n_threads, limit) if n_threads > 0 else limit)
    kernel(*args)


def compile_seconds(name, args):
    """Compiles port `name` on `args` (the first call) and returns the seconds
    it took; later calls run the compiled code."""
    start = time.perf_counter()
    PORTS[name](*args)
    return time.perf_counter() - start


# ---------------------------------------------------------------- benchmark section


def inputs(name, quick):
    """(description, items, unit, argument tuple) of the side-by-side run."""
    import data

    if name == "thermo":
        n = 2_000 if quick else 2_000_000
        rng = np.random.default_rng(11)
        t = rng.uniform(220.0, 310.0, n)
        td = t - rng.uniform(0.0, 30.0, n)
        return f"{n:,} elements", n, "element", (t, rng.uniform(2.0e4, 1.05e5, n), td)
    if name == "cold_pool":
        n = 2_000 if quick else 200_000
        z, b = data.synthetic_cold_pools(n, 40)
        args = (z, b, np.full(n, np.nan), 0.0, np.full(n, np.nan))
        return f"{n:,} columns of 40 levels, threshold mode", n, "column", args
    if name == "profile":
        n = 2_000 if quick else 200_000
        z, u, v = data.synthetic_columns(n, 40)
        args = (z, u, v, z[:, 0].copy(), 0.0, 3000.0, np.full(n, 8.0), np.full(n, 3.0))
        return f"{n:,} columns of 40 levels, 0-3 km layer", n, "column", args
    if name == "gradient":
        shape = (2, 64, 64) if quick else (16, 512, 512)
        f, x, y = data.synthetic_fields(*shape)
        return f"fields {shape}", f.size, "point", (f, x, y)
    if name == "vad":
        r, m = (64, 36) if quick else (8192, 36)
        vr, az, cos_el, _, _ = data.full_rings(r, m)
        return f"{r:,} rings of {m} gates", r * m, "gate", (vr, az, cos_el, 3, 0.1)
    raise KeyError(name)


HALVES = "tarnwell 1 thread on each half, both at once"


def halves(args):
    """The arguments of the first and of the second half of the work items:
    every array whose first extent is that of the first argument (the item
    axis: elements, columns, fields or rings) is cut there; the rest is shared."""
    n = np.shape(args[0])[0]
    h = n // 2

    def part(a, s):
        return a[s] if isinstance(a, np.ndarray) and a.ndim and a.shape[0] == n else a

    return tuple(part(a, slice(0, h)) for a in args), tuple(part(a, slice(h, None)) for a in args)


def both_halves_at_once(kernel, args, pool):
    """A callable that runs the kernel on one thread over each half of the
    items, the halves at the same time: the second on `pool`'s thread, which
    exists before the timing starts, the first on the caller's."""
    first, second = halves(args)

    def run():
        other = pool.submit(kernel, *second, n_threads=1)
        kernel(*first, n_threads=1)
        other.result()

    return run


def section(ctx, rep, name, lines):
    """Times the kernel against its numba port (and numexpr for thermo) at 1
    and 2 threads, interleaved, after checking that they agree; appends the
    table to `lines` and records the goals and peer ratios in `rep`."""
    from harness import TW1, TW2, Case, Variant, control, ours, run_case
    from report import case_lines

    import _tarnwell as tw

    what, items, unit, args = inputs(name, ctx.quick)
    kernel = getattr(tw, name)
    expected = kernel(*args, n_threads=1)

    def same_bits(got):
        assert got.tobytes() == expected.tobytes(), "not bit-identical to _tarnwell"

    def close(got):
        np.testing.assert_allclose(got, expected, rtol=1e-13, atol=0.0)

    # The same work split by hand: two independent one-thread calls, each on
    # its own half and its own thread, sharing nothing but the machine. Beside
    # the 2-thread call it tells what the shared chunk loop costs or saves.
    pool = ThreadPoolExecutor(max_workers=1)
    pool.submit(lambda: None).result()
    variants = {
        TW1: ours(lambda: kernel(*args, n_threads=1), items),
        TW2: ours(lambda: kernel(*args, n_threads=2), items),
        HALVES: control(both_halves_at_once(kernel, args, pool), items),
    }
    notes = [
        f"'{HALVES}': `_tarnwell` on one thread over each half of the input, the two halves "
        "at once on two threads that share no work queue and write separate results: the work "
        "split by hand, timed beside the 2-thread call."
    ]
    if numba is not None:
        seconds = compile_seconds(name, args)
        notes.append(f"numba compiled the port in {seconds:.2f} s on its first call (not timed).")
        for nt in (1, 2):
            variants[f"numba prange, {nt} thread{'s' * (nt > 1)}"] = Variant(
                lambda nt=nt: PORTS[name](*args, n_threads=nt), items, peer="numba", check=same_bits
            )
    if name == "thermo" and numexpr is not None:
        for nt in (1, 2):
            variants[f"numexpr, {nt} thread{'s' * (nt > 1)}"] = Variant(
                lambda nt=nt: thermo_numexpr(*args, n_threads=nt),
                items,
                peer="numexpr",
                check=close,
            )
        notes.append(
            "numexpr evaluates the same steps but its power function is not the C library's "
            "`pow`: it agrees to a relative 1e-13, not bit for bit."
        )
    case = Case(f"Against numba and numexpr, {what}", unit, variants, notes=notes)
    try:
        times, missing = run_case(ctx, case)
    finally:
        pool.shutdown()
    for note in missing:
        rep.note(f"{name}, {case.title}: {note}")
    lines += case_lines(case, times, missing)
    for label in times:
        if label not in (TW1, TW2):
            rep.peer_ratios.append((f"{name} vs {label}", times[label] / times[TW2]))
    for ours_label, peer_label in (
        (TW1, "numba prange, 1 thread"),
        (TW2, "numba prange, 2 threads"),
    ):
        text = f"ahead of its numba port ({peer_label.split(', ')[1]})"
        if peer_label in times:
            ratio = times[peer_label] / times[ours_label]
            how = "numba time / tarnwell time"
            if ours_label == TW2 and HALVES in times:
                halves_time = times[HALVES]
                ours_share = times[TW2] / halves_time
                peer_share = times[peer_label] / halves_time
                how += (
                    f"; against both halves at once on one thread each: tarnwell "
                    f"{ours_share:.2f}x, numba {peer_share:.2f}x the time"
                )
            rep.goal(name, text, f"{ratio:.3g}x", ratio > 1.0, how)
        else:
            rep.goal(name, text, "not measured: numba does not import here", None)
