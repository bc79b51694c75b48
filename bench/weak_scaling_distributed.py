"""Weak scaling of a tarnwell pipeline on a dask.distributed LocalCluster.

The work per worker is fixed: each worker gets `--steps` time steps of a
level-first (time, level, y, x) grid, so with k workers the grid has k times
as many steps. Perfect weak scaling keeps the wall time constant.

Every time step is one chunk. Inputs are synthesised on the workers (nothing
is shipped from the client), and each step runs the pipeline of a model
diagnostic job: thermo, buoyancy from θv against the level's horizontal mean,
cold_pool and a 0-3 km profile; only per-step maxima come back. The same graph
without the tarnwell calls (inputs and their reduction alone) is timed too, as
the share that is not tarnwell's.

Writes the table (Markdown) and the figure for the documentation:

    python bench/weak_scaling_distributed.py --out docs/user_guide/_generated

Standalone: needs tarnwell with its dask extra, and matplotlib.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import time
from pathlib import Path

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, get_task_stream

import tarnwell

LEVELS = 40
NY = NX = 256


def _fields(block_info=None):
    """Temperature, dew point and wind of one time step, (1, level, y, x), seeded by its index."""
    step = block_info[None]["chunk-location"][0]
    z = np.linspace(0.0, 8000.0, LEVELS)[:, None, None]
    y, x = np.mgrid[0:NY, 0:NX] * 2e3
    # The cold pool drifts east with the step; the ripples make every column differ.
    pool = np.exp(-(((x - 150e3 - 5e3 * step) / 80e3) ** 2 + ((y - 250e3) / 60e3) ** 2))
    ripple = np.sin(x / 7e3 + step) * np.cos(y / 5e3)
    t = 300.0 - 6.5e-3 * z - 6.0 * pool * np.exp(-z / 800.0) + 0.3 * ripple
    td = t - 3.0 - 2e-3 * z
    u = 20.0 * (1.0 - np.exp(-z / 3000.0)) + ripple
    v = 12.0 * (z / 800.0) * np.exp(1.0 - z / 800.0) + 0.5 * ripple
    return np.stack([t, td, u, v])[:, None]  # (field, 1, level, y, x)


def build(steps: int, with_tarnwell: bool):
    fields = da.map_blocks(
        _fields,
        chunks=((4,), (1,) * steps, (LEVELS,), (NY,), (NX,)),
        dtype=np.float64,
        meta=np.empty((0, 0, 0, 0, 0)),
    )
    t, td, u, v = fields[0], fields[1], fields[2], fields[3]
    z = np.linspace(0.0, 8000.0, LEVELS)[None, :, None, None]
    p = 100000.0 * np.exp(-z / 8000.0)
    if not with_tarnwell:
        return da.stack([t.max(axis=(1, 2, 3)), (td + u + v).max(axis=(1, 2, 3))])
    th = tarnwell.thermo(t, p, td)
    mean = th.theta_v.mean(axis=(2, 3), keepdims=True)
    b = 9.80665 * (th.theta_v - mean) / mean
    cp = tarnwell.cold_pool(z, b, bottom=0.0, threshold=0.0, top=np.nan, axis=1)
    pr = tarnwell.profile(z, u, v, ground=0.0, bottom=0.0, top=3000.0, cu=8.0, cv=4.0, axis=1)
    return da.stack([cp.intensity.max(axis=(1, 2)), pr.helicity.max(axis=(1, 2))])


def measure(workers: int, steps_per_worker: int, repeats: int) -> dict:
    with (
        LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        client.wait_for_workers(workers)
        steps = workers * steps_per_worker
        out = {"workers": workers, "steps": steps, "points": steps * LEVELS * NY * NX}
        for label, with_tarnwell in (("pipeline", True), ("inputs_only", False)):
            graph = build(steps, with_tarnwell)
            graph.compute()  # warm-up: imports and first-call costs on every worker
            times, busy = [], []
            for _ in range(repeats):
                with get_task_stream(client) as stream:
                    start = time.perf_counter()
                    graph.compute()
                    times.append(time.perf_counter() - start)
                busy.append(_compute_seconds(stream.data))
            out[label] = statistics.median(times)
            out[label + "_all"] = times
            # Seconds the tasks spent computing, per time step: constant under perfect weak
            # scaling, and higher when the workers had to share their cores with other load.
            out[label + "_task_s_per_step"] = statistics.median(busy) / steps
        return out


def _compute_seconds(tasks: list[dict]) -> float:
    return sum(
        part["stop"] - part["start"]
        for task in tasks
        for part in task["startstops"]
        if part["action"] == "compute"
    )


def plot(runs: list[dict], steps: int, path: Path) -> None:
    """The figure of the documentation page: times, and the efficiency."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    workers = [r["workers"] for r in runs]
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(8, 3.4), layout="constrained")
    width = 0.35
    ax1.bar(
        [w - width / 2 for w in workers],
        [r["pipeline"] for r in runs],
        width,
        color="C0",
        label="pipeline: wall time",
    )
    ax1.bar(
        [w + width / 2 for w in workers],
        [r["pipeline_task_s_per_step"] * steps for r in runs],
        width,
        color="C1",
        label="task time per worker",
    )
    ax1.set(
        xlabel="workers (1 thread each)",
        ylabel="seconds",
        xticks=workers,
        title=f"{steps} time steps per worker",
    )
    ax1.legend(fontsize=8, loc="upper left")
    ax2.plot(workers, [r["efficiency"] for r in runs], "o-", color="C0")
    ax2.axhline(1.0, color="0.5", ls="--", lw=0.8)
    ax2.set(
        xlabel="workers",
        ylabel="T(1 worker) / T(k workers)",
        xticks=workers,
        ylim=(0, 1.1),
        title="weak-scaling efficiency",
    )
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=8, help="time steps per worker")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--out", type=Path, default=Path("docs/user_guide/_generated"))
    parser.add_argument(
        "--replot", action="store_true", help="redraw the figure from the last run's JSON"
    )
    args = parser.parse_args()
    if args.replot:
        record = json.loads((args.out / "weak_scaling.json").read_text())
        steps = record["meta"]["steps_per_worker"]
        plot(record["runs"], steps, args.out / "weak_scaling.png")
        return

    load_before = os.getloadavg()
    runs = [measure(w, args.steps, args.repeats) for w in args.workers]
    load_after = os.getloadavg()
    base = runs[0]
    for run in runs:
        run["efficiency"] = base["pipeline"] / run["pipeline"]
        run["points_per_s"] = run["points"] / run["pipeline"]

    args.out.mkdir(parents=True, exist_ok=True)
    meta = {
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "cpus": os.cpu_count(),
        "python": platform.python_version(),
        "tarnwell": tarnwell.__version__,
        "grid_per_step": [LEVELS, NY, NX],
        "steps_per_worker": args.steps,
        "repeats": args.repeats,
        "load_before": load_before,
        "load_after": load_after,
    }
    (args.out / "weak_scaling.json").write_text(json.dumps({"meta": meta, "runs": runs}, indent=1))

    rows = [
        "| Workers | Time steps | Wall time | Efficiency | Task time per step | Inputs alone |",
        "|---|---|---|---|---|---|",
    ]
    for run in runs:
        rows.append(
            f"| {run['workers']} | {run['steps']} | {run['pipeline']:.2f} s "
            f"| {run['efficiency']:.2f} | {run['pipeline_task_s_per_step']:.3f} s "
            f"| {run['inputs_only']:.2f} s |"
        )
    note = (
        f"\nEach time step is ({LEVELS}, {NY}, {NX}) = {LEVELS * NY * NX:,} points. "
        f"Efficiency: wall time of 1 worker over that of k workers. "
        f"Inputs alone: the same graph without the tarnwell calls. "
        f"Measured {meta['date']} on a shared {meta['cpus']}-CPU machine "
        f"(load average {load_before[0]:.2f} before, {load_after[0]:.2f} after); "
        f"median of {args.repeats} runs after a warm-up, one thread per worker.\n"
    )
    (args.out / "weak_scaling.md").write_text("\n".join(rows) + "\n" + note)
    print("\n".join(rows) + note)

    plot(runs, args.steps, args.out / "weak_scaling.png")


if __name__ == "__main__":
    main()
