"""numba port of the parcel ascent: what a speed-minded user writes instead.

The same method as tarnwell.parcel, written out in the same order of
operations (start, dry ascent, LCL node, Newton's method on the pseudo-adiabat,
areas streamed node by node), compiled with ``parallel=True`` and a ``prange``
over the columns, without ``fastmath``. Rows (n, L) level-last; result (8, n).
"""

from __future__ import annotations

import math

import numpy as np

try:
    import numba
    from numba import njit, prange
except ImportError:  # reported by the benchmark, not raised at import
    numba = None

P0 = 100000.0
KAPPA = 0.28542059262205427
EPS = 0.6219569156569429
RD = 287.04749097718457
NAN = math.nan


def _serial(fn):
    return njit(fastmath=False, cache=False, inline="always")(fn) if numba is not None else fn


def _parallel(fn):
    return njit(parallel=True, fastmath=False, cache=False)(fn) if numba is not None else fn


@_serial
def _e(td):
    tc = td - 273.15
    return math.exp((tc * 17.67) / (tc + 243.5)) * 611.2


@_serial
def _w(e, p):
    return (e * EPS) / (p - e)


@_serial
def _w_at(td, p):
    e = _e(td)
    return _w(e, p) if e < p else NAN


@_serial
def _tv(t, w):
    return ((w / EPS + 1.0) * t) / (w + 1.0)


@_serial
def _tl(t, td):
    return 1.0 / (math.log(t / td) / 800.0 + 1.0 / (td - 56.0)) + 56.0


@_serial
def _lte(t, lnA, w, tl):
    r = w * 1000.0
    return (
        math.log(t)
        + ((1.0 - r * 0.00028) * 0.2854) * lnA
        + ((3.376 / tl - 0.00254) * r) * (r * 0.00081 + 1.0)
    )


# Bolton's eq. 10 has its pole at T_c = -243.5 C; the moist solve keeps to
# the bracket between it and the boiling point, as the kernel does.
POLE_T = 273.15 - 243.5
LOG_POLE_T = 3.3894621254437336
MIN_GUESS_SPAN = 1e-4


@_serial
def _moist(target, p, lnA, t):
    lo = POLE_T
    hi = math.inf
    if not (LOG_POLE_T + 0.2854 * lnA < target):
        return NAN, NAN
    if not (t > lo and t < hi):
        t = POLE_T + 250.0
    for _ in range(100):
        tc = t - 273.15
        den = tc + 243.5
        es = math.exp((tc * 17.67) / den) * 611.2
        dry = p - es
        if not (dry > 0.0):
            a = math.log(p / 611.2)
            boiling = (a * 243.5) / (17.67 - a) + 273.15
            hi = boiling if boiling < t else t
            t = (lo + hi) * 0.5
            continue
        w = (es * EPS) / dry
        r = w * 1000.0
        a = 3.376 / t - 0.00254
        g = math.log(t) + ((1.0 - r * 0.00028) * 0.2854) * lnA + (a * r) * (r * 0.00081 + 1.0)
        g = g - target
        if g > 0.0:
            hi = t
        elif g < 0.0:
            lo = t
        dr = (((es * (17.67 * 243.5)) / (den * den)) * ((EPS * p) * 1000.0)) / (dry * dry)
        dg = (
            1.0 / t
            - (0.2854 * 0.00028) * lnA * dr
            - ((3.376 / (t * t)) * r) * (r * 0.00081 + 1.0)
            + a * (r * 0.00162 + 1.0) * dr
        )
        delta = g / dg
        nxt = t - delta
        if nxt > lo and nxt < hi:
            t = nxt
            if not (abs(delta) >= 1e-6):
                break
        else:
            t = (lo + hi) * 0.5
            if not (hi - lo >= 1e-6):
                break
    return t, _w(_e(t), p)


@_serial
def _ok(P, T, Z, i, k, p_last):
    p = P[i, k]
    return (
        p > 0.0
        and p < p_last
        and math.isfinite(p)
        and math.isfinite(T[i, k])
        and (math.isfinite(Z[i, k]))
    )


@_serial
def _env_tv(P, T, D, i, k):
    t = T[i, k]
    d = D[i, k]
    w = _w_at(d if d < t else t, P[i, k]) if math.isfinite(d) else NAN
    return _tv(t, w) if math.isfinite(w) else t


@_serial
def _column(P, T, D, Z, i, kind, out):
    L = P.shape[1]
    for r in range(8):
        out[r, i] = NAN
    k0 = 0
    while k0 < L and not _ok(P, T, Z, i, k0, math.inf):
        k0 += 1
    if k0 == L:
        return
    p_sfc = P[i, k0]
    z_sfc = Z[i, k0]
    k1 = k0 + 1
    while k1 < L and not _ok(P, T, Z, i, k1, p_sfc):
        k1 += 1
    if k1 == L:
        return
    ks, ps, ts, ws, ds = k0, p_sfc, T[i, k0], 0.0, D[i, k0]
    if kind == 2:
        best = -math.inf
        ks = -1
        p_last = math.inf
        for k in range(k0, L):
            if not _ok(P, T, Z, i, k, p_last):
                continue
            p_last = P[i, k]
            if p_last < p_sfc - 30000.0:
                break
            t = T[i, k]
            d = D[i, k]
            if not math.isfinite(d):
                continue
            td = d if d < t else t
            w = _w_at(td, p_last)
            if not math.isfinite(w):
                continue
            v = _lte(t, math.log(P0 / p_last), w, _tl(t, td))
            if v > best:
                best = v
                ks, ps, ts, ws, ds = k, p_last, t, w, td
        if ks < 0:
            return
    elif kind == 1:
        p_top = p_sfc - 10000.0
        p_last = math.inf
        pa = tha = wa = sth = sw = 0.0
        have = False
        closed = False
        for k in range(k0, L):
            if closed:
                break
            if not _ok(P, T, Z, i, k, p_last):
                continue
            p_last = P[i, k]
            if not math.isfinite(D[i, k]):
                continue
            t = T[i, k]
            td = D[i, k] if D[i, k] < t else t
            pk = p_last
            th = math.pow(P0 / pk, KAPPA) * t
            w = _w_at(td, pk)
            if not math.isfinite(w):
                continue
            if have and pk <= p_top:
                f = math.log(pa / p_top) / math.log(pa / pk)
                th = (th - tha) * f + tha
                w = (w - wa) * f + wa
                pk = p_top
                closed = True
            if have:
                sth = sth + ((tha + th) * 0.5) * (pa - pk)
                sw = sw + ((wa + w) * 0.5) * (pa - pk)
            elif pk != p_sfc:
                return
            have = True
            pa = pk
            tha = th
            wa = w
        if not closed:
            return
        ws = sw / 10000.0
        ts = (sth / 10000.0) / math.pow(P0 / p_sfc, KAPPA)
        a = math.log(((ws * p_sfc) / (ws + EPS)) / 611.2)
        td = (a * 243.5) / (17.67 - a) + 273.15
        ds = td if td < ts else ts
    else:
        if not math.isfinite(ds):
            return
        if ds > ts:
            ds = ts
        ws = _w_at(ds, ps)
        if not math.isfinite(ws):
            return
    tl = _tl(ts, ds)
    p_lcl = math.pow(tl / ts, 1.0 / KAPPA) * ps
    if not (p_lcl < ps) or ds == ts:
        p_lcl = ps
    out[2, i] = p_lcl
    x_lcl = math.log(p_lcl)
    lte = _lte(ts, math.log(P0 / ps), ws, tl)
    t_lcl, w_lcl = ts, ws
    if p_lcl != ps:
        t_lcl, w_lcl = _moist(lte, p_lcl, math.log(P0 / p_lcl), tl)
        if not math.isfinite(t_lcl):
            t_lcl, w_lcl = tl, ws
    tv_lcl = _tv(t_lcl, w_lcl)
    x_s = math.log(ps)
    x_prev = x_s
    z_prev = Z[i, ks]
    tve_prev = _env_tv(P, T, D, i, ks)
    saturated = p_lcl == ps
    b_prev = (tv_lcl if saturated else _tv(ts, ws)) - tve_prev
    lfc = False
    el = False
    cin = net = cape = 0.0
    lfc_x = lfc_z = el_x = el_z = 0.0
    if saturated:
        out[3, i] = z_prev - z_sfc
        if b_prev > 0.0:
            lfc, lfc_x, lfc_z = True, x_prev, z_prev
    x_m1 = x_m2 = x_lcl
    t_m1 = t_m2 = t_lcl
    p_last = ps
    for k in range(ks + 1, L):
        if not _ok(P, T, Z, i, k, p_last):
            continue
        pk = P[i, k]
        p_last = pk
        xk = math.log(pk)
        zk = Z[i, k]
        tve = _env_tv(P, T, D, i, k)
        for stage in range(2):
            if stage == 0:
                if saturated or pk > p_lcl:
                    continue
                f = (x_prev - x_lcl) / (x_prev - xk)
                xb = x_lcl
                zb = (zk - z_prev) * f + z_prev
                bb = tv_lcl - ((tve - tve_prev) * f + tve_prev)
                seg_sat = False
            else:
                if saturated:
                    guess = t_m1
                    if x_m2 - x_m1 >= MIN_GUESS_SPAN:
                        guess = ((t_m1 - t_m2) / (x_m2 - x_m1)) * (x_m1 - xk) + t_m1
                    tp, wp = _moist(lte, pk, math.log(P0 / pk), guess)
                    if not math.isfinite(tp):
                        break
                    x_m2, t_m2, x_m1, t_m1 = x_m1, t_m1, xk, tp
                else:
                    tp = math.exp((xk - x_s) * KAPPA) * ts
                    wp = ws
                xb, zb, bb = xk, zk, _tv(tp, wp) - tve
                seg_sat = saturated
            xa, za, ba = x_prev, z_prev, b_prev
            dx = xa - xb
            if not lfc:
                if ba <= 0.0 and bb > 0.0:
                    f = ba / (ba - bb)
                    xc = xa - dx * f
                    cin = cin + (ba * 0.5) * (xa - xc)
                    if seg_sat:
                        lfc, lfc_x, lfc_z = True, xc, (zb - za) * f + za
                        net = net + (bb * 0.5) * (xc - xb)
                elif ba > 0.0 and bb <= 0.0:
                    f = ba / (ba - bb)
                    xc = xa - dx * f
                    cin = cin + (bb * 0.5) * (xc - xb)
                elif ba <= 0.0:
                    cin = cin + ((ba + bb) * 0.5) * dx
            elif ba > 0.0 and bb <= 0.0:
                f = ba / (ba - bb)
                xc = xa - dx * f
                net = net + (ba * 0.5) * (xa - xc)
                cape = net
                el, el_x, el_z = True, xc, (zb - za) * f + za
                net = net + (bb * 0.5) * (xc - xb)
            else:
                net = net + ((ba + bb) * 0.5) * dx
            if stage == 0:
                out[3, i] = zb - z_sfc
                if not lfc and bb > 0.0:
                    lfc, lfc_x, lfc_z = True, xb, zb
                saturated = True
            x_prev, z_prev, b_prev = xb, zb, bb
        tve_prev = tve
    out[0, i] = 0.0
    out[1, i] = 0.0
    if not lfc:
        return
    out[1, i] = cin * RD
    out[4, i] = p_lcl if lfc_x == x_lcl else math.exp(lfc_x)
    out[5, i] = lfc_z - z_sfc
    total = net
    if b_prev <= 0.0 and el:
        total = cape
        out[6, i] = math.exp(el_x)
        out[7, i] = el_z - z_sfc
    out[0, i] = total * RD if total > 0.0 else 0.0


@_parallel
def _parcel_impl(P, T, D, Z, kind, out):
    for i in prange(P.shape[0]):
        _column(P, T, D, Z, i, kind, out)


def parcel(p, t, td, z, kind, n_threads=0):
    """Result (8, n) for rows (n, L); kind 0, 1, 2 as tarnwell._native.parcel."""
    limit = numba.config.NUMBA_NUM_THREADS
    numba.set_num_threads(min(n_threads, limit) if n_threads > 0 else limit)
    out = np.empty((8, p.shape[0]))
    _parcel_impl(p, t, td, z, kind, out)
    return out
