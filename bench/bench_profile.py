"""profile: columns per second with 1 and 2 threads, against the per-column
NumPy code a user would otherwise write (np.interp at both ends of the layer,
summed helicity terms, trapezoid mean)."""

import sys

import numpy as np

import _tarnwell as tw
from common import interleaved, report


def sample(n, levels=40, seed=0):
    rng = np.random.default_rng(seed)
    k = np.arange(levels, dtype=float)
    agl = 25.0 * k + 6.0 * k**2  # stretched levels, 0 .. ~10 km
    ground = rng.uniform(0.0, 800.0, n)
    z = ground[:, None] + agl[None, :]
    radius = rng.uniform(3.0, 12.0, (n, 1))
    t = np.clip(agl / 3000.0, 0.0, 1.0)[None, :]
    u = radius * (1.0 - np.cos(np.pi * t)) + rng.normal(0.0, 0.5, (n, levels))
    v = radius * np.sin(np.pi * t) + rng.normal(0.0, 0.5, (n, levels))
    cu = rng.normal(8.0, 2.0, n)
    cv = rng.normal(2.0, 2.0, n)
    return z, u, v, ground, cu, cv


def numpy_profile(z, u, v, ground, bottom, top, cu, cv):
    n = u.shape[0]
    out = np.full((7, n), np.nan)
    for i in range(n):
        ok = np.isfinite(z[i]) & np.isfinite(u[i]) & np.isfinite(v[i])
        zi, ui, vi = z[i][ok], u[i][ok], v[i][ok]
        if zi.size == 0:
            continue
        base = ground[i] if np.isfinite(ground[i]) else zi[0]
        zb, zt = base + bottom, base + top
        if zb < zi[0] or zt > zi[-1]:
            continue
        inner = (zi > zb) & (zi < zt)
        zz = np.concatenate(([zb], zi[inner], [zt]))
        uu = np.concatenate(([np.interp(zb, zi, ui)], ui[inner], [np.interp(zt, zi, ui)]))
        vv = np.concatenate(([np.interp(zb, zi, vi)], vi[inner], [np.interp(zt, zi, vi)]))
        sru, srv = uu - cu[i], vv - cv[i]
        srh = np.sum(sru[1:] * srv[:-1] - sru[:-1] * srv[1:])
        depth = zt - zb
        out[:, i] = (uu[0], vv[0], uu[-1], vv[-1], srh,
                     np.trapezoid(uu, zz) / depth, np.trapezoid(vv, zz) / depth)
    return out


def main(n=100_000, n_numpy=2_000, n_cached=8_000):
    z, u, v, ground, cu, cv = sample(n)
    args = (z, u, v, ground, 0.0, 3000.0, cu, cv)
    sub = tuple(a[:n_numpy] if isinstance(a, np.ndarray) else a for a in args)
    small = tuple(a[:n_cached] if isinstance(a, np.ndarray) else a for a in args)
    # The NumPy version is the yardstick only if it computes the same thing.
    ref = tw.profile(*sub)
    assert np.allclose(numpy_profile(*sub), ref, rtol=1e-9, atol=1e-9)

    numpy_key = f"numpy per column ({n_numpy:,} columns)"
    times = interleaved({
        "tw 1 thread": lambda: tw.profile(*args, n_threads=1),
        "tw 2 threads": lambda: tw.profile(*args, n_threads=2),
        "tw default threads": lambda: tw.profile(*args),
        numpy_key: lambda: numpy_profile(*sub),
        # Streaming z, u and v once from memory: the floor for this input size.
        "read z, u, v once (numpy sum)": lambda: (z.sum(), u.sum(), v.sum()),
        f"tw 1 thread, {n_cached:,} columns (in cache)": lambda: tw.profile(*small, n_threads=1),
        f"tw 2 threads, {n_cached:,} columns (in cache)": lambda: tw.profile(*small, n_threads=2),
    }, repeats=9)
    items = {k: (n_numpy if k == numpy_key else n_cached if "in cache" in k else n) for k in times}
    report(f"profile, 0-3 km layer, columns of {u.shape[1]} levels (columns/s)",
           [(k, v, items[k]) for k, v in times.items()])
    one, two = times["tw 1 thread"], times["tw 2 threads"]
    c1 = times[f"tw 1 thread, {n_cached:,} columns (in cache)"]
    c2 = times[f"tw 2 threads, {n_cached:,} columns (in cache)"]
    np_rate = n_numpy / times[numpy_key]
    print(f"  2-thread speedup, {n:,} columns   {one / two:.2f}x  (goal >= 1.9)")
    print(f"  2-thread speedup, {n_cached:,} columns    {c1 / c2:.2f}x")
    print(f"  1 thread / reading the inputs     {one / times['read z, u, v once (numpy sum)']:.2f}x")
    print(f"  vs numpy per column               {n / times['tw default threads'] / np_rate:.0f}x  (goal >= 100)"
          f"; 1 thread {n / one / np_rate:.0f}x")
    return times


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
