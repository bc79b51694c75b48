"""Speed and agreement of every kernel against the tools users would
otherwise pick (make bench); writes docs/benchmarks.md and its plots."""

import datetime
import os
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))

import _tarnwell as tw  # noqa: E402

import peers  # noqa: E402
from report import Report, machine_lines  # noqa: E402
from timing import REPEATS  # noqa: E402

KERNELS = ["thermo", "cold_pool", "profile", "gradient", "vad"]


def loadavg():
    try:
        return " / ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "unknown"


def main():
    docs = os.environ.get("BENCH_DOCS", os.path.join(ROOT, "docs"))
    rep = Report(docs)
    status = peers.status_lines()
    start = time.time()
    load0 = loadavg()
    for name in KERNELS:
        print(f"[peers] {name} ...", flush=True)
        t0 = time.time()
        try:
            mod = __import__(f"{name}_peers")
            mod.run(rep)
        except Exception:
            # A comparison that breaks is reported as broken, with its cause.
            lines = rep.section(f"{name}: run failed")
            lines += ["```", traceback.format_exc().rstrip(), "```"]
            rep.goal(name, "(all goals)", "run failed, see its section", None)
        print(f"[peers] {name} done in {time.time() - t0:.0f} s", flush=True)
    built = [k for k in KERNELS if hasattr(tw, k)]
    header = [
        f"Written by `make bench` (`bench/peers/run.py`) on {datetime.datetime.now(datetime.UTC):%Y-%m-%d %H:%M} UTC "
        f"in {time.time() - start:.0f} s.",
        "",
        "**Measured on a shared, loaded 2-core machine** while other developers were building and testing: "
        "every time is the median of interleaved repeats "
        f"({REPEATS} unless stated), every ratio compares runs made side by side in one process. "
        f"Load average (1/5/15 min) at the start: {load0}; at the end: {loadavg()}. "
        "A 2-thread speedup needs the second core to be idle, which on this machine it often is not. "
        "What limits the goals not met, profiled: [profiles.md](profiles.md).",
        "",
        *machine_lines(),
        f"- Kernels in this build of `_tarnwell`: {', '.join(f'`{k}`' for k in built)}"
        + ("" if len(built) == len(KERNELS) else
           f"; not built: {', '.join(f'`{k}`' for k in KERNELS if k not in built)}") + ".",
        "- NumPy code runs with its own defaults (single-threaded ufuncs); metrust with its own "
        "thread pool (all cores).",
        f"- `OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', 'unset')}`: OpenBLAS's worker thread, "
        "started when NumPy is imported, otherwise spins on the second core and takes it from every 2-thread "
        "run (measured: thermo's 2-thread speedup fell to about 1.0x with it). The compared NumPy code "
        "(ufuncs, `numpy.gradient`, `lstsq` on three columns) uses no multithreaded BLAS.",
    ]
    rep.write(header, status)
    print(f"[peers] wrote {os.path.join(docs, 'benchmarks.md')}")
    for label, ratio in rep.peer_ratios:
        print(f"  {label:<40s} {ratio:.3g}x")
    for k, g, m, met, note in rep.goals:
        verdict = "met" if met else ("NOT MET" if met is not None else "not measured")
        print(f"  {k:<10s} {g:<48s} {m}  [{verdict}]")


if __name__ == "__main__":
    main()
