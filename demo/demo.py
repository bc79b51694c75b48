"""The main job on built-in sample data: one section per kernel, each a small
real-looking computation with a readable summary. Run with `make demo`."""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _tarnwell as tw  # noqa: E402

SECTIONS = ["thermo_demo", "cold_pool_demo", "profile_demo", "gradient_demo", "vad_demo"]


def timed(fn, *args, **kwargs):
    t0 = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, time.perf_counter() - t0


def main():
    print(f"_tarnwell: {tw.__doc__}")
    print(f"hardware threads: {os.cpu_count()}")
    for name in SECTIONS:
        try:
            mod = __import__(name)
        except ModuleNotFoundError:
            continue
        print()
        mod.run(timed)


if __name__ == "__main__":
    main()
