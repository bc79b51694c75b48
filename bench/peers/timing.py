"""Timing for the peer comparisons. The machine is shared and noisy, so every
figure is a median, and every ratio comes from runs interleaved in one
process so that a burst of load hits both sides alike."""

import os
import statistics
import sys
import time

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if BENCH not in sys.path:
    sys.path.insert(0, BENCH)

from common import interleaved  # noqa: E402

REPEATS = int(os.environ.get("BENCH_REPEATS", "7"))


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


def scaling(sizes, make, call, repeats=REPEATS):
    """Items per second with 1 and 2 threads at each size.
    make(n) -> (inputs, items); call(inputs, n_threads) runs the kernel.
    Returns a list of dicts with n, items, t1, t2."""
    rows = []
    for n in sizes:
        inputs, items = make(n)
        reps = repeats if items >= 100_000 else max(repeats, 15)
        times = interleaved({1: lambda: call(inputs, 1), 2: lambda: call(inputs, 2)}, repeats=reps)
        rows.append({"n": n, "items": items, "t1": times[1], "t2": times[2]})
        del inputs
    return rows


def linearity(rows):
    """A verdict on whether the 1-thread cost grows linearly with the item
    count over the three largest sizes (the smallest is dominated by the
    call overhead): the cost per item may not vary by more than 1.5x."""
    big = rows[-3:]
    per_item = [r["t1"] / r["items"] for r in big]
    spread = max(per_item) / min(per_item)
    return spread <= 1.5, spread
