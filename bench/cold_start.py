"""Cold against warm 2-thread calls of every kernel.

A scientist's call usually follows idle time (reading a file, drawing a
plot), and a worker thread started after idleness can start late. Each kernel
is called with 2 threads back to back (right after another call) and after
50 ms of sleep, in turn, and the medians are compared.

    python bench/cold_start.py [repeats]      every kernel, printed
"""

from __future__ import annotations

import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numba_ports  # noqa: E402

IDLE_SECONDS = 0.05
GOAL = 1.15


def cold_and_warm(fn, repeats):
    """Median seconds of a call made back to back and of one after idling."""
    warm, cold = [], []
    fn()
    for _ in range(repeats):
        fn()  # makes the next call back to back
        t0 = time.perf_counter()
        fn()
        warm.append(time.perf_counter() - t0)
        time.sleep(IDLE_SECONDS)
        t0 = time.perf_counter()
        fn()
        cold.append(time.perf_counter() - t0)
    return statistics.median(warm), statistics.median(cold)


def measure(name, quick=False, repeats=11):
    """(input description, back-to-back s, after-idle s) of a 2-thread call."""
    import _tarnwell as tw

    what, _, _, args = numba_ports.inputs(name, quick)
    kernel = getattr(tw, name)
    warm, cold = cold_and_warm(lambda: kernel(*args, n_threads=2), repeats)
    return what, warm, cold


def section(ctx, rep, name, lines):
    """Appends the cold-start table of kernel `name` and records its goal."""
    what, warm, cold = measure(name, ctx.quick, max(ctx.repeats, 1 if ctx.quick else 15))
    ratio = cold / warm
    lines += [
        f"Cold start, {what} (2 threads, median of alternating calls):",
        "",
        "| Call | Time | Ratio |",
        "|---|---|---|",
        f"| back to back | {warm * 1e3:.2f} ms | 1 |",
        f"| after {IDLE_SECONDS * 1e3:.0f} ms idle | {cold * 1e3:.2f} ms | {ratio:.3g}x |",
        "",
    ]
    rep.goal(
        name,
        f"2-thread call after {IDLE_SECONDS * 1e3:.0f} ms idle ≤ {GOAL}x back to back",
        f"{ratio:.3g}x",
        ratio <= GOAL,
    )


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 11
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"load average {load}; {repeats} repeats; idle {IDLE_SECONDS * 1e3:.0f} ms")
    print(f"{'kernel':<10} {'back to back':>13} {'after idle':>11} {'ratio':>6}  input")
    for name in numba_ports.PORTS:
        what, warm, cold = measure(name, repeats=repeats)
        print(f"{name:<10} {warm * 1e3:10.2f} ms {cold * 1e3:8.2f} ms {cold / warm:6.2f}  {what}")


if __name__ == "__main__":
    main()
