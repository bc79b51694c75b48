"""Controls timed beside the kernels: the C library's cost of thermo's calls
(its floor), one streaming read of a kernel's inputs (the memory floor), and
a perfectly parallel compute-bound and memory-bound job whose 2-thread
speedup says how much of the second core the shared machine gave."""

from __future__ import annotations

import ctypes
import functools
import os
import subprocess
import tempfile
import threading

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
KAPPA = 0.28542059262205427
_PTRS = [ctypes.c_void_p] * 5


@functools.cache
def _lib():
    """controls.cpp built with the module's own floating-point flags and
    loaded through ctypes, which releases the interpreter lock in calls."""
    # Built in a directory of this process's own, since runs in other
    # checkouts build theirs at the same time; once loaded, the file can go.
    with tempfile.TemporaryDirectory(prefix="tarnwell_controls_") as tmp:
        out = os.path.join(tmp, "controls.so")
        flags = ["-O2", "-ffp-contract=off", "-fno-fast-math", "-shared", "-fPIC"]
        subprocess.run(["c++", *flags, os.path.join(HERE, "controls.cpp"), "-o", out], check=True)
        lib = ctypes.CDLL(out)
    lib.libm_floor.restype = ctypes.c_double
    lib.libm_floor.argtypes = [*_PTRS, ctypes.c_int64]
    lib.libm_floor_store.restype = None
    lib.libm_floor_store.argtypes = [*_PTRS, ctypes.c_void_p, ctypes.c_int64]
    lib.stream_sum.restype = ctypes.c_double
    lib.stream_sum.argtypes = [ctypes.c_void_p, ctypes.c_int64]
    return lib


def _split(fn, arrays, n, threads, *extra):
    """fn(pointers..., *extra, count) over [0, n) on 1 thread, or the two
    halves on the caller and one more thread."""
    if threads == 1:
        return fn(*[a.ctypes.data for a in arrays], *extra, n)
    half = n // 2
    worker = threading.Thread(target=fn, args=[a.ctypes.data for a in arrays] + [*extra, half])
    worker.start()
    fn(*[a.ctypes.data + 8 * half for a in arrays], *extra, n - half)
    worker.join()


def thermo_call_arguments(t, p, td, mixing_ratio):
    """The arguments of thermo's five library calls per element, as it forms
    them; mixing_ratio is thermo's own row 0."""
    dc = np.minimum(td, t)
    a = 100000.0 / p
    tc = dc - 273.15
    x1 = tc * 17.67 / (tc + 243.5)
    r = mixing_ratio * 1000.0
    tl = 1.0 / (np.log(t / dc) / 800.0 + 1.0 / (dc - 56.0)) + 56.0
    x2 = (3.376 / tl - 0.00254) * r * (r * 0.00081 + 1.0)
    y2 = (1.0 - r * 0.00028) * 0.2854
    return [np.ascontiguousarray(v) for v in (a, x1, t / dc, x2, y2)]


def libm_floor(args, threads=1):
    """Callable: thermo's library calls alone over `args`."""
    n = args[0].size
    return lambda: _split(_lib().libm_floor, args, n, threads)


def libm_floor_store(args):
    """Callable: the library calls writing a fresh (4, N) result, 1 thread."""
    n = args[0].size

    def run():
        out = np.empty((4, n))  # held across the call: ctypes keeps only the address
        _lib().libm_floor_store(*[a.ctypes.data for a in args], out.ctypes.data, n)
        return out

    return run


def read_floor(arrays, threads=1):
    """Callable: one streaming read of every array (C-contiguous float64)."""
    lib = _lib()
    return lambda: [_split(lib.stream_sum, [a], a.size, threads) for a in arrays]


def machine_controls(n_compute, n_stream):
    """The compute-bound control (library calls over n_compute elements) and
    the memory-bound one (a streaming read of n_stream doubles), each on 1 and
    2 threads: label -> callable."""
    args = [np.full(n_compute, v) for v in (1.5, 0.1, 1.1, 0.2, 0.28)]
    big = np.ones(n_stream)
    return {
        "compute control, 1 thread": libm_floor(args, 1),
        "compute control, 2 threads": libm_floor(args, 2),
        "memory control, 1 thread": read_floor([big], 1),
        "memory control, 2 threads": read_floor([big], 2),
    }
