"""What a kernel's benchmark file declares, and how it is timed.

The machine is shared and noisy: every time is a median over repeats, and
the implementations compared in one table run interleaved in one process, so
that a burst of load hits all of them alike."""

from __future__ import annotations

import contextlib
import importlib
import importlib.util
import io
import statistics
import time
import warnings
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

TW1, TW2 = "tarnwell 1 thread", "tarnwell 2 threads"


@dataclass
class Variant:
    """One timed implementation: `fn` covers `items` work items. `peer` names
    the package it needs (None: NumPy, tarnwell or a control). `check`, run
    once on fn's result before timing, asserts that it computes the answer."""

    fn: Callable[[], Any]
    items: int
    peer: str | None = None
    check: Callable[[Any], None] | None = None
    kind: str = "rival"  # "tarnwell", "rival" (what a user would otherwise run) or "control"


def ours(fn, items):
    return Variant(fn, items, kind="tarnwell")


def rival(fn, items, peer=None, check=None):
    return Variant(fn, items, peer=peer, check=check)


def control(fn, items):
    return Variant(fn, items, kind="control")


@dataclass
class Case:
    """Implementations timed side by side on one input; the table ratios are
    per item against `TW2`."""

    title: str
    unit: str
    variants: dict[str, Variant]
    notes: list[str] = field(default_factory=list)


def speedup_goal(kernel):
    """Every kernel's goal for its second thread, on its largest input."""
    return Goal(kernel, "≥ 1.9x from 2 threads (large input)", "scaling", TW1, TW2, at_least=1.9)


@dataclass
class Goal:
    """A target on the per-item time ratio num / den of one case (or of the
    largest size of the scaling run, case "scaling")."""

    kernel: str
    text: str
    case: str
    num: str
    den: str
    at_least: float | None = None
    at_most: float | None = None
    note: str = ""

    def verdict(self, ratio: float) -> bool:
        if self.at_least is not None:
            return ratio >= self.at_least
        return ratio <= self.at_most


@dataclass
class Context:
    """What a benchmark file is given: quick runs use tiny sizes, one repeat
    and no peers beyond the ones installed."""

    quick: bool
    repeats: int
    peers: Peers

    def pick(self, full, quick):
        return quick if self.quick else full


def interleaved(fns: dict[str, Callable[[], Any]], repeats: int) -> dict[str, float]:
    """Median seconds of each callable, run in turn after one warm-up call."""
    for fn in fns.values():
        fn()
    samples: dict[str, list[float]] = {k: [] for k in fns}
    for _ in range(repeats):
        for k, fn in fns.items():
            t0 = time.perf_counter()
            fn()
            samples[k].append(time.perf_counter() - t0)
    return {k: statistics.median(v) for k, v in samples.items()}


def per_call(fn: Callable[[], Any], calls: int, batches: int = 7) -> float:
    """Median seconds per call over batches of `calls` calls: for calls too
    short to time one at a time."""
    fn()
    samples = []
    for _ in range(batches):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        samples.append((time.perf_counter() - t0) / calls)
    return statistics.median(samples)


def quiet():
    """Peers print banners and deprecation notices of their own."""
    stack = contextlib.ExitStack()
    stack.enter_context(contextlib.redirect_stdout(io.StringIO()))
    stack.enter_context(warnings.catch_warnings())
    warnings.simplefilter("ignore")
    return stack


class Peers:
    """Which peers import here. A peer that does not is named with its error
    wherever its comparison would have been; nothing stands in for it."""

    KNOWN = {
        # key: (module to import, distribution, label)
        "metpy": ("metpy.calc", "metpy", "MetPy"),
        "pyart": ("pyart", "arm_pyart", "Py-ART (arm-pyart)"),
        "metrust": ("metrust.calc", "metrust", "metrust"),
        # Only its sounding files are used: the package pulls in a GUI stack
        # that is deliberately not installed, so it is found, not imported.
        "sharppy": (None, "sharppy", "SHARPpy (sounding files only)"),
        "matplotlib": ("matplotlib", "matplotlib", "matplotlib (plots)"),
        # What a speed-minded user writes instead: bench/numba_ports.py.
        "numba": ("numba", "numba", "numba"),
        "numexpr": ("numexpr", "numexpr", "numexpr"),
    }

    def __init__(self) -> None:
        self._modules: dict[str, Any] = {}
        self._errors: dict[str, str] = {}

    def get(self, key: str):
        """The imported peer module, or None if it does not import here."""
        if key not in self._modules and key not in self._errors:
            module, _, _ = self.KNOWN[key]
            try:
                with quiet():
                    if module is None:
                        if importlib.util.find_spec(key) is None:
                            raise ModuleNotFoundError(f"No module named '{key}'")
                        self._modules[key] = key
                    else:
                        self._modules[key] = importlib.import_module(module)
            except Exception as exc:  # any failure to import is reported, not raised
                self._errors[key] = f"{type(exc).__name__}: {exc}"
        return self._modules.get(key)

    def missing(self, key: str) -> str:
        return f"not run: {self.KNOWN[key][2]} does not import here ({self._errors[key]})"

    def status_lines(self) -> list[str]:
        from importlib.metadata import PackageNotFoundError, version

        lines = []
        for key, (_, dist, label) in self.KNOWN.items():
            if self.get(key) is None:
                lines.append(
                    f"- {label}: **does not import here** ({self._errors[key]}); "
                    "its comparisons are not run"
                )
                continue
            try:
                lines.append(f"- {label} {version(dist)}: imports")
            except PackageNotFoundError:
                lines.append(f"- {label}: imports")
        return lines


def available(ctx: Context, variants: dict[str, Variant]) -> tuple[dict[str, Variant], list[str]]:
    """The variants whose peer imports, and a note for each that does not."""
    kept, notes = {}, []
    for label, v in variants.items():
        if v.peer is None or ctx.peers.get(v.peer) is not None:
            kept[label] = v
        else:
            notes.append(f"{label}: {ctx.peers.missing(v.peer)}")
    return kept, notes


def run_case(ctx: Context, case: Case) -> tuple[dict[str, float], list[str]]:
    """Checks every variant's answer, then times them interleaved: per-item
    median seconds by label, and the notes of the variants left out."""
    variants, notes = available(ctx, case.variants)
    with quiet():
        for label, v in variants.items():
            if v.check is not None:
                try:
                    v.check(v.fn())
                except AssertionError as exc:
                    raise AssertionError(f"{case.title}: {label} disagrees: {exc}") from exc
        if TW1 in variants and TW2 in variants:
            one, two = variants[TW1].fn(), variants[TW2].fn()
            assert one.tobytes() == two.tobytes(), f"{case.title}: results differ by thread count"
        times = interleaved({k: v.fn for k, v in variants.items()}, ctx.repeats)
    return {k: t / variants[k].items for k, t in times.items()}, notes


def scaling(ctx: Context, sizes: Iterable, make, call, controls: dict[str, Callable]):
    """Items per second on 1 and 2 threads at each size. make(size) ->
    (inputs, items); call(inputs, n_threads) runs the kernel. The machine
    controls are timed alongside the largest size."""
    rows = []
    sizes = list(sizes)
    for k, size in enumerate(sizes):
        inputs, items = make(size)
        fns = {TW1: lambda a=inputs: call(a, 1), TW2: lambda a=inputs: call(a, 2)}
        if k == len(sizes) - 1:
            fns.update(controls)
        # The 2-thread figures are the most exposed to other jobs: more repeats.
        times = interleaved(fns, max(ctx.repeats, 1 if ctx.quick else 15))
        rows.append({"size": size, "items": items, **times})
        inputs = fns = None  # free this size before making the next
    return rows
