"""Timing for the peer comparisons. The machine is shared and noisy, so every
figure is a median, and every ratio comes from runs interleaved in one
process so that a burst of load hits both sides alike."""

import os
import statistics
import sys
import threading
import time

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if BENCH not in sys.path:
    sys.path.insert(0, BENCH)

from common import interleaved  # noqa: E402

REPEATS = int(os.environ.get("BENCH_REPEATS", "9"))


def per_call(fn, calls, batches=7):
    """Median seconds per call of fn over batches of `calls` calls: for calls
    too short to time one at a time."""
    fn()
    samples = []
    for _ in range(batches):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        samples.append((time.perf_counter() - t0) / calls)
    return statistics.median(samples)


_ceiling = None


def ceiling_fns():
    """A perfectly parallel control: the C library's pow/exp/log over a fixed
    array, on one thread and split over two (ctypes releases the interpreter
    lock). Its 2-thread speedup, timed alongside a kernel, is what the shared
    machine allowed at that moment."""
    global _ceiling
    if _ceiling is None:
        import numpy as np
        from bench_thermo import load_floor
        loaded = load_floor()
        floor = loaded[0] if isinstance(loaded, tuple) else loaded
        n = 1_000_000
        args = [np.full(n, 1.5), np.full(n, 0.1), np.full(n, 1.1), np.full(n, 0.2), np.full(n, 0.28)]
        half = n // 2

        def one():
            floor(*[a.ctypes.data for a in args], n)

        def two():
            th = threading.Thread(target=floor, args=[a.ctypes.data for a in args] + [half])
            th.start()
            floor(*[a.ctypes.data + 8 * half for a in args], n - half)
            th.join()

        _ceiling = (one, two, args)
    return _ceiling[0], _ceiling[1]


_stream = None


def stream_fns():
    """A memory-bound control: one streaming read of 256 MiB, on one thread
    and split over two. Its 2-thread speedup is what the machine's memory
    system gives a second core."""
    global _stream
    if _stream is None:
        import ctypes
        import subprocess
        import tempfile
        import numpy as np
        out = os.path.join(tempfile.gettempdir(), "tarnwell_stream.so")
        subprocess.run(["c++", "-O2", "-ffp-contract=off", "-shared", "-fPIC",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "stream.cpp"), "-o", out], check=True)
        lib = ctypes.CDLL(out)
        fn = lib.stream_sum
        fn.restype = ctypes.c_double
        fn.argtypes = [ctypes.c_void_p, ctypes.c_int64]
        n = 32 * 1024 * 1024
        a = np.ones(n)
        half = n // 2

        def one():
            fn(a.ctypes.data, n)

        def two():
            th = threading.Thread(target=fn, args=(a.ctypes.data, half))
            th.start()
            fn(a.ctypes.data + 8 * half, n - half)
            th.join()

        _stream = (one, two, a)
    return _stream[0], _stream[1]


def scaling(sizes, make, call, repeats=REPEATS):
    """Items per second with 1 and 2 threads at each size.
    make(n) -> (inputs, items); call(inputs, n_threads) runs the kernel.
    Returns a list of dicts with n, items, t1, t2; the largest size also
    carries `ceiling`, the control's 2-thread speedup timed alongside."""
    rows = []
    for k, n in enumerate(sizes):
        inputs, items = make(n)
        # The 2-thread figures are the most exposed to other jobs on the
        # machine: more repeats than elsewhere.
        reps = max(repeats, 15)
        fns = {1: lambda: call(inputs, 1), 2: lambda: call(inputs, 2)}
        if k == len(sizes) - 1:
            c1, c2 = ceiling_fns()
            m1, m2 = stream_fns()
            fns.update({"c1": c1, "c2": c2, "m1": m1, "m2": m2})
        times = interleaved(fns, repeats=reps)
        row = {"n": n, "items": items, "t1": times[1], "t2": times[2]}
        if "c1" in times:
            row["ceiling"] = times["c1"] / times["c2"]
            row["stream"] = times["m1"] / times["m2"]
        rows.append(row)
        inputs = fns = None  # free this size before making the next
    return rows


def speedup_goal(rep, kernel, rows, unit):
    """The 2-thread goal on the largest input, with the machine's ceiling."""
    big = rows[-1]
    s = big["t1"] / big["t2"]
    rep.goal(kernel, "≥ 1.9x from 2 threads (large input)", f"{s:.2f}x at {big['items']:,} {unit}", s >= 1.9,
             f"alongside, the compute-bound control reached {big['ceiling']:.2f}x and the memory-bound "
             f"control {big['stream']:.2f}x")


def scaling_lines(rows, size_header, item, tiny_call, tiny, sizes=None):
    """Markdown: the 1- and 2-thread rates at each size (with its shape when
    `sizes` is given), then the linearity verdict and the cost of a tiny call."""
    from report import fmt_rate

    lin, spread = linearity(rows)
    shape_col = sizes is not None
    lines = [("| shape (B, NY, NX) | points " if shape_col else f"| {size_header} ")
             + "| 1 thread | 2 threads | speedup |",
             "|---|---|---|---|" + ("---|" if shape_col else "")]
    for k, r in enumerate(rows):
        first = f"| {sizes[k]} | {r['items']:,} " if shape_col else f"| {r['items']:,} "
        lines.append(first + f"| {fmt_rate(r['items'] / r['t1'])} | {fmt_rate(r['items'] / r['t2'])} | "
                     f"{r['t1'] / r['t2']:.2f}x |")
    lines += ["", f"Cost per {item} over the three largest sizes varies by {spread:.2f}x "
              f"({'linear' if lin else 'NOT linear'}). {tiny_call} costs {tiny * 1e6:.2f} µs.", ""]
    return lines


def linearity(rows):
    """A verdict on whether the 1-thread cost grows linearly with the item
    count over the three largest sizes (the smallest is dominated by the
    call overhead): the cost per item may not vary by more than 1.5x."""
    big = rows[-3:]
    per_item = [r["t1"] / r["items"] for r in big]
    spread = max(per_item) / min(per_item)
    return spread <= 1.5, spread
