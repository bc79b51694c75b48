"""The main job on built-in sample data: one section per kernel, each a small
real-looking computation with a readable summary. Run with `make demo`.

Every function of _tarnwell has its section, demo/<kernel>_demo.py; a section
that is missing or fails stops the demo with its error."""

import importlib
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _tarnwell as tw  # noqa: E402


def kernels():
    """The functions of _tarnwell in the order the module registers them."""
    return [k for k, v in vars(tw).items() if not k.startswith("_") and callable(v)]


def timed(fn, *args, **kwargs):
    t0 = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, time.perf_counter() - t0


def main():
    print(f"_tarnwell: {tw.__doc__}")
    print(f"hardware threads: {os.cpu_count()}")
    names = kernels()
    for name in names:
        section = importlib.import_module(f"{name}_demo")
        print()
        section.run(timed)
    print(f"\ndemo: all {len(names)} sections ran ({', '.join(names)})")


if __name__ == "__main__":
    main()
