"""The benchmark runner: every kernel of _tarnwell against the tools users
would otherwise pick, one benchmark file per kernel (bench_<kernel>.py), and,
when no kernel is named, the composites and the `tarnwell diagnose` command
on a model file on disk (bench_cli.py).

    python bench/run.py            full run; writes docs/benchmarks.md (make bench)
    python bench/run.py --quick    tiny sizes, one repeat, writes nothing (make test)
    python bench/run.py thermo vad only these kernels
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import cold_start  # noqa: E402
import controls  # noqa: E402
import numba_ports  # noqa: E402
from harness import TW1, TW2, Context, Peers, per_call, run_case, scaling  # noqa: E402
from report import Report, case_lines, machine_lines, scaling_lines  # noqa: E402

import _tarnwell as tw  # noqa: E402


def kernels():
    """The functions of _tarnwell in the order the module registers them."""
    return [k for k, v in vars(tw).items() if not k.startswith("_") and callable(v)]


def loadavg():
    return " / ".join(f"{x:.2f}" for x in os.getloadavg())


def bench_kernel(ctx, rep, name):
    mod = importlib.import_module(f"bench_{name}")
    lines = rep.section(name)
    machine = ctx.pick(
        controls.machine_controls(1_000_000, 32 * 1024 * 1024),
        controls.machine_controls(10_000, 100_000),
    )
    rows = scaling(ctx, mod.sizes(ctx), mod.make, mod.call, machine)
    rep.scaling[name] = rows
    tiny_label, tiny = mod.tiny()
    tiny_cost = per_call(tiny, ctx.pick(2000, 10), ctx.pick(7, 1))
    lines += [
        f"{mod.UNIT.capitalize()}s per second against input size (median of interleaved runs):",
        "",
    ]
    lines += scaling_lines(rows, mod.UNIT, tiny_label, tiny_cost)
    big = rows[-1]
    results = {"scaling": {k: v / big["items"] for k, v in big.items() if k in (TW1, TW2)}}
    machine_note = (
        f"alongside, the compute-bound control reached "
        f"{big['compute control, 1 thread'] / big['compute control, 2 threads']:.2f}x and "
        f"the memory-bound control "
        f"{big['memory control, 1 thread'] / big['memory control, 2 threads']:.2f}x"
    )

    for key, case in mod.cases(ctx):
        times, notes = run_case(ctx, case)
        results[key] = times
        for note in notes:
            rep.note(f"{name}, {case.title}: {note}")
        lines += case_lines(case, times, notes)
        for label, v in case.variants.items():
            if v.kind == "rival" and label in times and TW2 in times:
                where = "" if key == "peers" else f" ({key})"
                rep.peer_ratios.append((f"{name}{where} vs {label}", times[label] / times[TW2]))

    numba_ports.section(ctx, rep, name, lines)
    cold_start.section(ctx, rep, name, lines)

    for g in mod.GOALS:
        times = results.get(g.case, {})
        if g.num not in times or g.den not in times:
            missing = g.num if g.num not in times else g.den
            rep.goal(name, g.text, f"not measured: {missing} was not run", None, g.note)
            continue
        ratio = times[g.num] / times[g.den]
        note = machine_note if g.case == "scaling" else g.note
        rep.goal(name, g.text, f"{ratio:.3g}x", g.verdict(ratio), note)

    if hasattr(mod, "agreement"):
        mod.agreement(ctx, rep, lines)


def composites_section(ctx, rep):
    """The effective inflow layer and the command's composites, in parcel calls."""
    import bench_parcel

    lines = rep.section("effective inflow layer and composites")
    more, ratios = bench_parcel.composite_lines(ctx.quick, None if ctx.quick else 7)
    lines += more
    for label, key, limit in (
        ("effective layer", "effective inflow layer", 1.5),
        ("composites", "command's parcel and composite fields", 5.0),
    ):
        ratio = ratios[key]
        rep.goal(label, f"at most {limit:g}x one most-unstable parcel call", f"{ratio:.3g}x",
                 ratio <= limit)  # fmt: skip


def command_section(ctx, rep):
    """`tarnwell diagnose` on a model file on disk: its wall time against one read
    of the input and one write of its output, where the time goes, and the bytes
    of its output, lossless and rounded to N significant digits."""
    import shutil
    from pathlib import Path

    import bench_cli

    # (4, 50, 200, 200): about two minutes on this machine, the parcels most of it.
    shape = (1, 10, 16, 16) if ctx.quick else (4, 50, 200, 200)
    work = Path(ROOT) / "build" / "bench_cli_run"
    work.mkdir(parents=True, exist_ok=True)
    try:
        m = bench_cli.measure(work, shape, len(os.sched_getaffinity(0)))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    rep.section("tarnwell diagnose").extend(bench_cli.report_lines(m))
    note = f"{shape}, load average {m['load_after']}"
    rep.goal("diagnose", "within 1.5x of read + write", f"{m['within']:.3g}x",
             m["within"] <= 1.5, note)  # fmt: skip
    meeting = m["digits_meeting"]
    rep.goal(
        "diagnose",
        f"with N digits, each 3-D field at most {bench_cli.SIZE_GOAL:g}x the input's bytes",
        f"met for N = {', '.join(map(str, meeting)) or 'none'} of "
        f"{', '.join(map(str, m['errors']))}",
        bool(meeting),
        note,
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kernels", nargs="*", help="kernels to run (default: all)")
    parser.add_argument("--quick", action="store_true", help="tiny sizes, one repeat")
    parser.add_argument(
        "--docs", help="where to write benchmarks.md (default: docs/, none if --quick)"
    )
    args = parser.parse_args(argv)
    names = args.kernels or kernels()
    unknown = set(names) - set(kernels())
    if unknown:
        parser.error(f"not a kernel of _tarnwell: {', '.join(sorted(unknown))}")
    docs = args.docs or (None if args.quick else os.path.join(ROOT, "docs"))
    repeats = 1 if args.quick else int(os.environ.get("BENCH_REPEATS", "11"))
    ctx = Context(quick=args.quick, repeats=repeats, peers=Peers())
    rep = Report(docs)
    status = ctx.peers.status_lines()
    start, load0 = time.time(), loadavg()
    for name in names:
        print(f"[bench] {name} ...", flush=True)
        t0 = time.time()
        bench_kernel(ctx, rep, name)
        print(f"[bench] {name} done in {time.time() - t0:.1f} s", flush=True)

    if not args.kernels:
        print("[bench] effective inflow layer and composites ...", flush=True)
        composites_section(ctx, rep)
        print("[bench] tarnwell diagnose ...", flush=True)
        command_section(ctx, rep)

    header = [
        f"Written by `make bench` (`bench/run.py`) on "
        f"{datetime.datetime.now(datetime.UTC):%Y-%m-%d %H:%M} UTC in {time.time() - start:.0f} s.",
        "",
        "**Measured on a shared 2-core machine** while other developers were building and "
        "testing: every time is the median of interleaved repeats "
        f"({repeats} unless stated), every ratio compares runs made side by side in one process. "
        f"Load average (1/5/15 min) at the start: {load0}; at the end: {loadavg()}. "
        "A 2-thread speedup needs the second core to be idle, which on this machine it often is "
        "not: the controls beside each kernel's largest size show how much of it the machine gave. "
        "What limits the goals not met, profiled: [profiles.md](profiles.md).",
        "",
        *machine_lines(),
        f"- Kernels run: {', '.join(f'`{k}`' for k in names)}.",
        "- NumPy code runs with its own defaults (single-threaded ufuncs); metrust with its own "
        "thread pool (all cores).",
        f"- `OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', 'unset')}`: OpenBLAS's "
        "worker thread, started when NumPy is imported, otherwise spins on the second core and "
        "takes it from every 2-thread run. The compared NumPy code (ufuncs, `numpy.gradient`, "
        "`lstsq` on a few columns) needs no multithreaded BLAS.",
    ]
    install_record = os.path.join(sys.prefix, "peers-install.txt")
    if os.path.exists(install_record):
        with open(install_record) as fh:
            status = (
                ["Install record of `make bench` (`bench/install-peers.sh`):", ""]
                + [
                    f"- `{req}`: {state}"
                    for req, _, state in (line.rstrip("\n").partition("\t") for line in fh)
                ]
                + ["", "Imports:", ""]
                + status
            )
    if docs is None:
        rep.render(header, status)  # the formatter runs in quick runs too
    else:
        with_plots = None
        if ctx.peers.get("matplotlib") is not None:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as with_plots
        print(f"[bench] wrote {rep.write(header, status, with_plots)}")
    for label, ratio in rep.peer_ratios:
        print(f"  {label:<56s} {ratio:.3g}x")
    for k, g, m, met, _ in rep.goals:
        verdict = "met" if met else ("NOT MET" if met is not None else "not measured")
        print(f"  {k:<10s} {g:<48s} {m}  [{verdict}]")
    print(f"[bench] load average at the end: {loadavg()}")


if __name__ == "__main__":
    main()
