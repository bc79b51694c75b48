"""The ``tarnwell`` command: model and radar files in, diagnostics and pictures out.

::

    tarnwell diagnose MODEL_FILE -o OUT.nc      # thermodynamics, helicity, cold pools, baroclinity
    tarnwell vad RADAR_FILE -o OUT.nc           # VAD wind profile of a radar volume
    tarnwell plot OUT.nc [VAD.nc] -o SHEET.png  # the figure sheet

Every failure is one line on stderr (the full traceback with ``--debug``) and
exit status 1 (2 for a malformed command line); SIGINT, SIGTERM and SIGHUP end
a run within seconds with status 128 + the signal's number (137, SIGKILL's, when
C code that holds the interpreter keeps the run from acting on the signal and
its watchdog ends it after 10 s). No partial output
is ever left behind, and nothing at the output path is replaced unless
``--overwrite`` says so.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import math
import os
import sys
import textwrap
import time
from collections.abc import Sequence
from functools import partial
from typing import TYPE_CHECKING, Any

from ._io import restore_stderr
from .errors import CommandError

if TYPE_CHECKING:
    from .stepwise import Steps

PROG = "tarnwell"
DEBUG_HELP = "on failure, print the full traceback as well as the one-line message"


def _threads(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"expected 1 or more threads, got {n}")
    return n


def _finite(text: str) -> float:
    """A number option: NaN or infinity would pass through every comparison silently."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def _seconds(text: str) -> float:
    value = _finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected 0 or more seconds, got {text!r}")
    return value


def _digits(text: str) -> int:
    if not text.strip().isdigit() or not 1 <= int(text) <= 15:
        raise argparse.ArgumentTypeError(f"expected 1 to 15 (7 for float32 fields), got {text!r}")
    return int(text)


def default_threads() -> int:
    """The CPUs this process may run on (respects taskset and container limits)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not Linux
        return os.cpu_count() or 1


def _fields_epilog() -> str:
    from .diagnose import FIELD_GROUPS

    lines = ["fields, by group (--fields takes either):"]
    for group, names in FIELD_GROUPS.items():
        text = f"{group}: {', '.join(names)}"
        lines += textwrap.wrap(text, 78, initial_indent="  ", subsequent_indent="      ")
    return "\n".join(lines)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Diagnostics and pictures from model output and radar volumes.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="OUT",
        help="output file: netCDF, or a zarr store when OUT ends in .zarr",
    )
    common.add_argument("--overwrite", action="store_true", help="replace OUT if it exists")
    common.add_argument(
        "--threads",
        type=_threads,
        default=None,
        metavar="N",
        help="bound on the threads used on this machine (default: the CPUs this process "
        "may use); with --scheduler the cluster's workers keep their own thread counts",
    )
    common.add_argument("-q", "--quiet", action="store_true", help="no progress bar or summary")
    common.add_argument("--debug", action="store_true", help=DEBUG_HELP)

    diag = sub.add_parser(
        "diagnose",
        parents=[common],
        help="every diagnostic the model file's variables allow",
        # Wrapped here: the raw formatter that keeps the field list's lines keeps these too.
        description=textwrap.fill(
            "Thermodynamic fields (mixing ratio, theta, theta_v, theta_e), storm-relative "
            "helicity and layer winds for 0-1, 0-3 and 0-6 km, cold-pool intensity, depth "
            "and open-top flag, CAPE, CIN, LCL, LFC and EL of the surface-based, mixed-layer "
            "and most-unstable parcels, the effective inflow layer with its helicity and bulk "
            "wind difference, the significant tornado (stp) and supercell composite (scp) "
            "parameters, and horizontal gradients of theta and theta_v, written with the "
            "input's coordinates and CF attributes.",
            78,
        ),
        epilog=_fields_epilog(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    diag.add_argument(
        "model_files",
        nargs="+",
        metavar="MODEL_FILE",
        help="netCDF, zarr or GRIB file; several files (or a quoted glob) of one run are "
        "joined along time, in time order",
    )
    diag.add_argument(
        "--var",
        action="append",
        metavar="ROLE=NAME",
        help="use variable NAME for ROLE (temperature, pressure, dewpoint, "
        "specific_humidity, relative_humidity, height, geopotential, u, v, "
        "surface_altitude); may be repeated",
    )
    diag.add_argument(
        "--fields",
        default=None,
        metavar="NAME[,NAME...]",
        help="write only these fields or groups of fields (listed below); only what they "
        "need is computed (default: every field the file allows)",
    )
    diag.add_argument(
        "--storm-motion",
        default="bunkers",
        metavar="U,V|bunkers",
        help="storm motion for helicity, in m/s, or 'bunkers' for the Bunkers "
        "right mover (default)",
    )
    diag.add_argument(
        "--cold-pool-threshold",
        type=_finite,
        default=None,
        metavar="B",
        help="buoyancy (m/s2) at which the cold pool ends (default -0.01)",
    )
    diag.add_argument(
        "--level-dim",
        default=None,
        metavar="DIM",
        help="the vertical dimension, when it cannot be recognised",
    )
    diag.add_argument(
        "--dtype",
        choices=("float32", "float64"),
        default=None,
        help="precision of the stored fields (default: float32 where the inputs that feed "
        "a field are float32, else float64; the arithmetic is double either way)",
    )
    diag.add_argument(
        "--significant-digits",
        type=_digits,
        default=None,
        metavar="N",
        help="store the fields rounded to N significant digits, for smaller files: "
        "netCDF's BitRound quantize, zarr's bit-round filter (default: lossless)",
    )
    diag.add_argument(
        "--chunks",
        default=None,
        metavar="DIM=N[,...]",
        help="process lazily through dask in chunks, e.g. time=1 (or 'auto')",
    )
    diag.add_argument(
        "--scheduler",
        default=None,
        metavar="ADDRESS",
        help="run on the dask.distributed scheduler at ADDRESS",
    )
    diag.add_argument(
        "--worker-timeout",
        type=_seconds,
        default=None,
        metavar="SECONDS",
        help="with --scheduler, end the run when the cluster has had no worker for this "
        "long (default 60)",
    )

    vad = sub.add_parser(
        "vad",
        parents=[common],
        help="VAD wind profile from a radar volume",
        description=(
            "Fits the velocity-azimuth display to every range gate of every sweep of a "
            "radar volume (CfRadial 1 and 2, ODIM_H5, NEXRAD Level II, also as .gz or .bz2 "
            "archives, and the other formats xradar reads): u, v, speed, direction, rms and "
            "gate count against beam height. Velocities folded at the Nyquist velocity are "
            "unfolded first; rings no better than folded noise, faster than any wind "
            "(120 m/s) or jumping against their neighbours are flagged and left out of the "
            "profile."
        ),
    )
    vad.add_argument("radar_file", metavar="RADAR_FILE")
    vad.add_argument(
        "--velocity",
        default=None,
        metavar="NAME",
        help="the radial-velocity variable (default: found by standard name)",
    )
    vad.add_argument(
        "--min-gates",
        type=int,
        default=None,
        metavar="N",
        help="least valid gates for a fit (default 30)",
    )
    vad.add_argument(
        "--min-spread",
        type=_finite,
        default=None,
        metavar="S",
        help="least azimuthal coverage, 0 to 0.25 (default 0.2)",
    )
    vad.add_argument(
        "--nyquist",
        type=_finite,
        default=None,
        metavar="M/S",
        help="Nyquist velocity in m/s (default: the file's, e.g. CfRadial nyquist_velocity, "
        "ODIM NI, NEXRAD's radial header)",
    )
    vad.add_argument(
        "--no-unfold",
        action="store_true",
        help="fit the velocities as they are, without unfolding aliased values",
    )

    plot = sub.add_parser(
        "plot",
        help="figure sheet from diagnostics files",
        description=(
            "Maps of cold-pool intensity, 0-3 km helicity with hodographs, baroclinity, a "
            "theta_e cross-section (from a `diagnose` output), and a wind profile (from a "
            "`vad` output)."
        ),
    )
    plot.add_argument("files", nargs="+", metavar="OUT", help="outputs of diagnose and/or vad")
    plot.add_argument(
        "-o",
        "--output",
        default=None,
        metavar="PNG",
        help="picture to write (default: the first file's name with .png)",
    )
    plot.add_argument(
        "--time",
        type=int,
        default=None,
        metavar="INDEX",
        help="time index for the maps (default: the strongest cold pool)",
    )
    plot.add_argument(
        "--dpi",
        type=int,
        default=None,
        metavar="DPI",
        help="resolution of the picture (default 100: 1750 x 1000 pixels)",
    )
    plot.add_argument(
        "--select",
        action="append",
        metavar="DIM=INDEX",
        help="member to draw of an outer dimension such as an ensemble's number "
        "(default: the first); may be repeated",
    )
    plot.add_argument("--show", action="store_true", help="also show the figure on screen")
    plot.add_argument("--overwrite", action="store_true", help="replace the picture if it exists")
    plot.add_argument("-q", "--quiet", action="store_true", help="print nothing")
    plot.add_argument("--debug", action="store_true", help=DEBUG_HELP)
    return parser


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("tarnwell")
    except Exception:  # pragma: no cover - running from a source tree
        return "unknown"


def main(argv: Sequence[str] | None = None) -> int:
    from . import signals
    from .failures import describe

    parser = build_parser()
    args = parser.parse_args(argv)
    runner = {"diagnose": run_diagnose, "vad": run_vad}.get(args.command, run_plot)
    try:
        signals.run(lambda: runner(args), f"{PROG} {args.command}")
    except signals.Interrupted as stop:
        restore_stderr()  # the worker may be capturing a library's output
        print(f"{PROG} {args.command}: {stop.describe()}; no output written", file=sys.stderr)
        signals.hard_exit(stop.exit_status)
        return stop.exit_status  # pragma: no cover - hard_exit does not return
    except KeyboardInterrupt:
        signals.remove_partials()
        print(f"{PROG} {args.command}: interrupted; no output written", file=sys.stderr)
        return 130
    except BaseException as err:
        if isinstance(err, SystemExit):
            raise
        if getattr(args, "debug", False):
            import traceback

            traceback.print_exc()
        print(f"{PROG} {args.command}: error: {describe(err, args)}", file=sys.stderr)
        return 1
    return 0


def _note_stale_partials(output: str, command: str) -> None:
    from .preflight import stale_partials

    for note in stale_partials(output):
        print(f"{PROG} {command}: note: {note}", file=sys.stderr)


def _say(args: argparse.Namespace, text: str) -> None:
    if not args.quiet:
        print(text)


def run_diagnose(args: argparse.Namespace) -> None:
    from . import _io, joined, roles
    from . import diagnose as _diagnose
    from .failures import check_fits_in_memory
    from .preflight import check_chunk_fits, check_output_is_no_input

    paths = joined.expand(args.model_files)
    check_output_is_no_input(args.output, paths)
    _io.check_output(args.output, args.overwrite)
    _note_stale_partials(args.output, args.command)
    chunks = _io.parse_chunks(args.chunks)
    if len(paths) > 1 and chunks is None:
        chunks = {"time": 1}  # one step at a time, whatever the number of files
    source = paths[0] if len(paths) == 1 else f"{len(paths)} files from {paths[0]}"
    variables = roles.parse_var_mapping(args.var)
    motion = _diagnose.parse_storm_motion(args.storm_motion)
    if motion is not None and not all(map(math.isfinite, motion)):
        raise CommandError(f"--storm-motion: expected finite U,V in m/s, got {args.storm_motion!r}")
    options = _diagnose.Options(
        storm_motion=motion,
        level_dim=args.level_dim,
        dtype=args.dtype,
        fields=None if args.fields is None else _diagnose.parse_fields(args.fields),
    )
    if args.cold_pool_threshold is not None:
        options.cold_pool_threshold = args.cold_pool_threshold
    threads = args.threads or default_threads()
    client = None
    if args.scheduler:
        from .cluster import connect

        client = connect(args.scheduler, quiet_logs=not args.debug)
    if client is not None and chunks is None:
        chunks = "auto"  # a scheduler gets work only through dask
    lazy = chunks is not None
    if lazy:
        from .stepwise import return_freed_fields

        return_freed_fields()  # first: before any field is allocated and freed
    # On a cluster the scheduler spreads blocks over the workers' threads, and each
    # kernel call runs on one. Locally, eager or one block of steps at a time,
    # the kernels themselves use the threads.
    options.n_threads = 1 if lazy else threads

    start = time.perf_counter()
    if len(paths) == 1:
        ds = _io.open_model(paths[0], chunks)
    else:
        assert chunks is not None
        ds = joined.open_joined(paths, chunks, _io.open_model)
    watched: contextlib.AbstractContextManager[None] = contextlib.nullcontext()
    if client is not None:
        from .cluster import workers_watched

        watched = workers_watched(client, args.scheduler, args.worker_timeout)
    try:
        with watched:
            if not lazy:
                largest = max((v.size for v in ds.data_vars.values() if v.ndim >= 3), default=0)
                check_fits_in_memory(largest * 8, source)
            elif client is None:  # a cluster's memory is its workers', not known here
                check_chunk_fits(ds, source, args.chunks or "time=1", threads)
            result = _diagnose.diagnose(ds, variables, options)
            steps = None
            if lazy:
                from .stepwise import by_step

                result, steps = by_step(result)
            result.attrs["history"] = f"{time.strftime('%Y-%m-%dT%H:%M:%S')} {_command_line()}"
            if args.significant_digits is not None:
                from .output import with_significant_digits

                result = with_significant_digits(result, args.significant_digits, args.output)
            for note in result.attrs.get("comment", "").splitlines():
                print(f"{PROG} diagnose: note: {note}", file=sys.stderr)
            _io.write_dataset(
                result,
                args.output,
                overwrite=args.overwrite,
                compute=_computer(client, threads, _io.progress_wanted(args.quiet), steps),
                on_cluster=client is not None,
            )
            points = _diagnose.elements(ds)
    finally:
        ds.close()
        if client is not None:
            client.close()
    seconds = time.perf_counter() - start
    _say(args, f"wrote {args.output}: {len(result.data_vars)} variables")
    _say(args, f"{points:,} grid points in {seconds:.2f} s ({points / seconds:,.0f} per second)")


def _command_line() -> str:
    return " ".join([PROG, *sys.argv[1:]]) if sys.argv else PROG


def _computer(client: Any, threads: int, progress: bool, steps: Steps | None = None) -> Any:
    """How to run a delayed write: on the cluster, or on a local pool of ``threads``.

    A write of fields computed block by block (``steps``) is run with its blocks
    gated, so that no more than ``threads + 1`` blocks' results are held at
    once, ``threads`` being the cluster's when there is one: its scheduler,
    left to itself, has been seen to hold the results of most steps at once.
    """

    def compute(delayed: Any) -> None:
        if client is not None:
            from .cluster import written_through

            if steps is not None:
                from .cluster import run_blocks_then_end

                # Gated on the blocks the cluster can work at once: its threads.
                lag = max(sum(client.nthreads().values()), 1)
                split = steps.split_end(dict(delayed.__dask_graph__()))
                if split is not None:
                    blocks, read, end = split
                    with written_through(client):
                        gated = steps.throttled(blocks, lag=lag)
                        run_blocks_then_end(client, gated, read, end, progress=progress)
                    return
                graph = steps.throttled(delayed.__dask_graph__(), lag=lag)
                delayed = type(delayed)(delayed.key, graph)
            with written_through(client):
                future = client.compute(delayed)
                if progress:
                    importlib.import_module("distributed").progress(future)
                future.result()
            return
        dask: Any = importlib.import_module("dask")
        if steps is None:
            run = partial(dask.compute, delayed, scheduler="threads", num_workers=threads)
        else:
            graph = steps.throttled(delayed.__dask_graph__(), lag=threads)
            threaded: Any = importlib.import_module("dask.threaded")
            run = partial(threaded.get, graph, delayed.__dask_keys__(), num_workers=threads)
        if progress:
            bar = importlib.import_module("dask.diagnostics").ProgressBar
            with bar(out=sys.stderr):
                run()
        else:
            run()

    return compute


def run_vad(args: argparse.Namespace) -> None:
    from . import _io
    from . import radar as _radar
    from . import radar_quality as _quality
    from .preflight import check_output_is_no_input

    check_output_is_no_input(args.output, [args.radar_file])
    _io.check_output(args.output, args.overwrite)
    _note_stale_partials(args.output, args.command)
    start = time.perf_counter()
    sweeps = _radar.open_volume(args.radar_file)
    kwargs: dict[str, Any] = {
        "min_gates": _radar.DEFAULT_MIN_GATES if args.min_gates is None else args.min_gates,
        "min_spread": _radar.DEFAULT_MIN_SPREAD if args.min_spread is None else args.min_spread,
    }
    result = _radar.vad_dataset(
        sweeps,
        velocity=args.velocity,
        n_threads=args.threads or default_threads(),
        nyquist=args.nyquist,
        unfold=not args.no_unfold,
        **kwargs,
    )
    if result.attrs["tarnwell_rings_in_profile"] == 0:
        raise CommandError(
            f"{args.radar_file}: no ring gave a wind ({_quality.ring_summary(result)})"
        )
    result.attrs["history"] = f"{time.strftime('%Y-%m-%dT%H:%M:%S')} {_command_line()}"
    _io.write_dataset(result, args.output, overwrite=args.overwrite, compute=lambda d: None)
    seconds = time.perf_counter() - start
    if "tarnwell_nyquist_note" in result.attrs and not args.quiet:
        print(f"{PROG} vad: note: {result.attrs['tarnwell_nyquist_note']}", file=sys.stderr)
    for warning in _quality.warnings_for(result):
        print(f"{PROG} vad: warning: {warning}", file=sys.stderr)
    fitted = result.attrs["tarnwell_rings_in_profile"]
    used = [sweeps[int(i)] for i in result["sweep_number"].values]
    gates = sum(int(_radar.find_velocity(s, args.velocity).size) for s in used)
    sweep_count = result.sizes["sweep"]
    _say(args, f"wrote {args.output}: {sweep_count} sweeps, {fitted} rings in the profile")
    _say(args, f"{gates:,} gates in {seconds:.2f} s ({gates / seconds:,.0f} per second)")


def _require_some_data(path: str, ds: Any) -> None:
    """Refuse a product with no finite value at all (a map of nothing says nothing)."""
    import numpy as np

    fields = [v for v in ds.data_vars.values() if v.dtype.kind == "f" and v.ndim >= 1]
    # The first field with data ends the search: usually the first one read.
    if fields and not any(bool(np.isfinite(v.values).any()) for v in fields):
        raise CommandError(f"{path}: every field is NaN; nothing to plot")


def run_plot(args: argparse.Namespace) -> None:
    from . import _io, plotting
    from .preflight import check_output_is_no_input

    output = args.output or os.path.splitext(args.files[0].rstrip("/"))[0] + ".png"
    check_output_is_no_input(output, args.files)
    _io.check_output(output, args.overwrite)
    _note_stale_partials(output, args.command)
    datasets = [plotting.open_product(path) for path in args.files]
    try:
        for path, ds in zip(args.files, datasets, strict=True):
            _require_some_data(path, ds)
        fig = plotting.figure_sheet(
            datasets,
            time_index=args.time,
            interactive=args.show,
            select=plotting.parse_select(args.select),
        )
        with _io.staged_output(output, args.overwrite) as tmp:
            fig.savefig(tmp, format="png", dpi=args.dpi or plotting.DPI)
    finally:
        for ds in datasets:
            ds.close()
    _say(args, f"wrote {output}")
    import matplotlib.pyplot as plt

    if args.show:
        plt.show()
    plt.close(fig)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
