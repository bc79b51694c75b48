"""thermo: elements per second with 1 and 2 threads, against the same
formulas as a NumPy expression and against the cost of its library calls."""

import ctypes
import sys

import numpy as np

import _tarnwell as tw
from common import interleaved, load_cpp, report

KAPPA = 0.28542059262205427
EPS = 0.6219569156569429


def numpy_thermo(t, p, td):
    dc = np.minimum(td, t)
    a = 100000.0 / p
    theta = a ** KAPPA * t
    tc = dc - 273.15
    e = np.exp(tc * 17.67 / (tc + 243.5)) * 611.2
    w = e * EPS / (p - e)
    theta_v = (w / EPS + 1.0) * theta / (w + 1.0)
    r = w * 1000.0
    tl = 1.0 / (np.log(t / dc) / 800.0 + 1.0 / (dc - 56.0)) + 56.0
    theta_e = np.exp((3.376 / tl - 0.00254) * r * (r * 0.00081 + 1.0)) * (a ** ((1.0 - r * 0.00028) * 0.2854) * t)
    return np.stack([w, theta, theta_v, theta_e])


def load_floor():
    lib = load_cpp("libm_floor.cpp")
    lib.libm_floor.restype = ctypes.c_double
    lib.libm_floor.argtypes = [ctypes.c_void_p] * 5 + [ctypes.c_int64]
    lib.libm_floor_store.restype = None
    lib.libm_floor_store.argtypes = [ctypes.c_void_p] * 6 + [ctypes.c_int64]
    return lib.libm_floor, lib.libm_floor_store


def fresh_store(fn, ptrs, n):
    out = np.empty((4, n))  # held across the call: ctypes keeps only the address
    fn(*ptrs, out.ctypes.data, n)
    return out


def sample(n, seed=0):
    rng = np.random.default_rng(seed)
    t = rng.uniform(220.0, 310.0, n)
    p = rng.uniform(20000.0, 103000.0, n)
    td = t - rng.exponential(6.0, n)
    return t, p, td


def main(n=2_000_000):
    t, p, td = sample(n)
    # The library calls' own arguments, as thermo forms them.
    dc = np.minimum(td, t)
    a = 100000.0 / p
    tc = dc - 273.15
    x1 = tc * 17.67 / (tc + 243.5)
    r = tw.thermo(t, p, td, n_threads=1)[0] * 1000.0
    tl = 1.0 / (np.log(t / dc) / 800.0 + 1.0 / (dc - 56.0)) + 56.0
    x2 = (3.376 / tl - 0.00254) * r * (r * 0.00081 + 1.0)
    y2 = (1.0 - r * 0.00028) * 0.2854
    q = t / dc
    floor, floor_store = load_floor()
    args = [np.ascontiguousarray(v) for v in (a, x1, q, x2, y2)]
    ptrs = [v.ctypes.data for v in args]

    times = interleaved({
        "tw 1 thread": lambda: tw.thermo(t, p, td, n_threads=1),
        "tw 2 threads": lambda: tw.thermo(t, p, td, n_threads=2),
        "tw default threads": lambda: tw.thermo(t, p, td),
        "numpy expression": lambda: numpy_thermo(t, p, td),
        "libm calls alone (1 thread)": lambda: floor(*ptrs, n),
        "libm calls + fresh (4, N) output": lambda: fresh_store(floor_store, ptrs, n),
    })
    report(f"thermo, N = {n:,}", [(k, v, n) for k, v in times.items()])
    print(f"  2-thread speedup            {times['tw 1 thread'] / times['tw 2 threads']:.2f}x  (goal >= 1.9)")
    print(f"  1 thread / libm floor       {times['tw 1 thread'] / times['libm calls alone (1 thread)']:.3f}x (goal <= 1.15)")
    print(f"  1 thread / (libm + output)  {times['tw 1 thread'] / times['libm calls + fresh (4, N) output']:.3f}x")
    print(f"  vs numpy (default threads)  {times['numpy expression'] / times['tw default threads']:.2f}x  (goal >= 2)")
    return times


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 2_000_000)
