"""The formatter: collects what a run measured and renders
docs/benchmarks.md with its PNG plots."""

from __future__ import annotations

import math
import os
import platform

import numpy as np
from harness import TW1, TW2


def fmt_rate(r):
    if not math.isfinite(r):
        return "n/a"
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if r >= scale:
            return f"{r / scale:.3g} {unit}/s"
    return f"{r:.3g} /s"


def fmt_sec(s):
    if s >= 1.0:
        return f"{s:.3g} s"
    if s >= 1e-3:
        return f"{s * 1e3:.3g} ms"
    return f"{s * 1e6:.3g} µs"


def fmt_num(x):
    if x == 0:
        return "0"
    if not math.isfinite(x):
        return str(x)
    return f"{x:.3g}"


class Report:
    def __init__(self, docs):
        self.docs = docs
        self.sections = []  # (title, [markdown lines])
        self.goals = []  # (kernel, goal, measured, met, note)
        self.comparisons = []  # (kernel, what, points, one-sided, max abs, max rel, why)
        self.scaling = {}  # kernel -> rows
        self.peer_ratios = []  # (label, ratio)
        self.plots = []
        self.notes = []  # what could not be run or drawn, said aloud
        self.figures = []  # draw(pyplot, docs) -> (file name, caption), kernel-specific plots

    def section(self, title):
        lines = []
        self.sections.append((title, lines))
        return lines

    def goal(self, kernel, goal, measured, met, note=""):
        self.goals.append((kernel, goal, measured, met, note))

    def compare(self, kernel, what, expected, actual, why, mask=None):
        """Largest absolute and relative difference of two arrays over the
        points where both are finite; also counts points finite on one side
        only, which a comparison must not hide."""
        e = np.asarray(expected, dtype=float).ravel()
        a = np.asarray(actual, dtype=float).ravel()
        if mask is not None:
            m = np.asarray(mask, dtype=bool).ravel()
            e, a = e[m], a[m]
        both = np.isfinite(e) & np.isfinite(a)
        one = np.isfinite(e) ^ np.isfinite(a)
        if both.any():
            d = np.abs(a[both] - e[both])
            scale = np.abs(e[both])
            # Relative differences of values near zero say nothing: only
            # points above a millionth of the largest magnitude count.
            big = scale > 1e-6 * scale.max()
            mabs = float(d.max())
            mrel = float((d[big] / scale[big]).max()) if big.any() else float("nan")
        else:
            mabs = mrel = float("nan")
        self.comparisons.append((kernel, what, int(both.sum()), int(one.sum()), mabs, mrel, why))
        return mabs, mrel

    def note(self, text):
        """Something left out of the run: printed now and listed in the report."""
        print(f"[bench] NOTE: {text}", flush=True)
        self.notes.append(text)

    def render(self, header_lines, status_lines):
        """The report's markdown; the plots are drawn when it is written."""
        out = ["# Benchmarks and validation against peers", ""]
        out += header_lines + [""]
        out += ["## Peers in this run", ""] + status_lines + [""]
        if self.notes:
            out += ["## Left out of this run", ""] + [f"- {n}" for n in self.notes] + [""]
        out += ["## Goals", "", "| Kernel | Goal | Measured | Met |", "|---|---|---|---|"]
        for k, g, m, met, note in self.goals:
            verdict = "yes" if met else ("**no**" if met is not None else "not measured")
            out.append(f"| `{k}` | {g} | {m}{(' (' + note + ')') if note else ''} | {verdict} |")
        out += [
            "",
            "## Agreement",
            "",
            "Largest differences over the points where both sides are finite; "
            "'one-sided' counts points that are finite on one side only. The relative "
            "difference is taken over points whose magnitude exceeds a millionth of the largest.",
            "",
            "| Kernel | Comparison | Points | One-sided | Max abs diff | Max rel diff | Why |",
            "|---|---|---|---|---|---|---|",
        ]
        for k, w, n, one, a, r, why in self.comparisons:
            out.append(f"| `{k}` | {w} | {n} | {one} | {fmt_num(a)} | {fmt_num(r)} | {why} |")
        out.append("")
        for title, lines in self.sections:
            out += [f"## {title}", ""] + lines + [""]
        if self.plots:
            out += ["## Plots", ""]
            for name, caption in self.plots:
                out += [f"![{caption}]({name})", ""]
        return "\n".join(out).rstrip() + "\n"

    def write(self, header_lines, status_lines, pyplot):
        """Draws the plots (with pyplot, when there is one) and writes
        docs/benchmarks.md; returns its path."""
        os.makedirs(self.docs, exist_ok=True)
        if pyplot is None:
            self.note("plots not drawn: matplotlib does not import here")
        else:
            self._plot_scaling(pyplot)
            self._plot_peers(pyplot)
            for draw in self.figures:
                self.plots.append(draw(pyplot, self.docs))
        path = os.path.join(self.docs, "benchmarks.md")
        with open(path, "w") as fh:
            fh.write(self.render(header_lines, status_lines))
        return path

    def _plot_scaling(self, plt):
        if not self.scaling:
            return
        fig, ax = plt.subplots(figsize=(7, 4.5))
        for i, (k, rows) in enumerate(self.scaling.items()):
            items = [r["items"] for r in rows]
            c = f"C{i}"
            ax.loglog(
                items, [r["items"] / r[TW1] for r in rows], "o--", color=c, label=f"{k}, 1 thread"
            )
            ax.loglog(
                items, [r["items"] / r[TW2] for r in rows], "s-", color=c, label=f"{k}, 2 threads"
            )
        ax.set_xlabel("work items per call")
        ax.set_ylabel("work items per second (median)")
        ax.set_title("Throughput against input size")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7, ncol=2)
        fig.tight_layout()
        fig.savefig(os.path.join(self.docs, "scaling.png"), dpi=110)
        plt.close(fig)
        self.plots.append(("scaling.png", "Throughput against input size, 1 and 2 threads"))

    def _plot_peers(self, plt):
        if not self.peer_ratios:
            return
        labels = [label for label, _ in self.peer_ratios]
        vals = [v for _, v in self.peer_ratios]
        fig, ax = plt.subplots(figsize=(7, 0.45 * len(labels) + 1.2))
        ax.barh(range(len(labels)), vals, color="C0")
        ax.set_xscale("log")
        ax.axvline(1.0, color="k", lw=0.8)
        ax.set_yticks(range(len(labels)), labels, fontsize=8)
        ax.invert_yaxis()
        for i, v in enumerate(vals):
            ax.text(v, i, f" {v:.3g}x", va="center", fontsize=8)
        ax.set_xlabel("speed ratio: peer time / tarnwell time (median, same data, same run)")
        ax.set_title("tarnwell against the peers")
        fig.tight_layout()
        fig.savefig(os.path.join(self.docs, "peers.png"), dpi=110)
        plt.close(fig)
        self.plots.append(("peers.png", "Speed ratios against the peers"))


def machine_lines():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return [f"- Machine: {cpu}, {os.cpu_count()} logical CPUs, Python {platform.python_version()}."]


def case_lines(case, times, notes):
    """Markdown table of one case: per-item time and rate of every variant and
    how much faster tarnwell on 2 threads is."""
    ref = times.get(TW2)
    lines = [
        f"{case.title} (interleaved, median):",
        "",
        f"| Implementation | Time per {case.unit} | {case.unit.capitalize()}s/s | "
        "tarnwell 2 threads is faster by |",
        "|---|---|---|---|",
    ]
    for label, t in times.items():
        ratio = f"{t / ref:.3g}x" if ref else "n/a"
        lines.append(f"| {label} | {fmt_sec(t)} | {fmt_rate(1.0 / t)} | {ratio} |")
    lines += [f"| {n.split(':', 1)[0]} | {n.split(':', 1)[1].strip()} | | |" for n in notes]
    return lines + [""] + [*case.notes] + ([""] if case.notes else [])


def scaling_lines(rows, unit, tiny_label, tiny):
    """Markdown: the 1- and 2-thread rates at each size, the linearity verdict
    and the cost of a tiny call."""
    lines = [f"| size | {unit}s | 1 thread | 2 threads | speedup |", "|---|---|---|---|---|"]
    for r in rows:
        lines.append(
            f"| {r['size']} | {r['items']:,} | {fmt_rate(r['items'] / r[TW1])} | "
            f"{fmt_rate(r['items'] / r[TW2])} | {r[TW1] / r[TW2]:.2f}x |"
        )
    big = rows[-3:]
    per_item = [r[TW1] / r["items"] for r in big]
    spread = max(per_item) / min(per_item)
    # The smallest size is dominated by the call overhead; over the three
    # largest, a linear cost per item varies by less than 1.5x.
    verdict = "linear" if spread <= 1.5 else "NOT linear"
    lines += [
        "",
        f"Cost per {unit} over the {len(big)} largest sizes varies by {spread:.2f}x "
        f"({verdict}). {tiny_label} costs {tiny * 1e6:.2f} µs.",
        "",
    ]
    return lines
