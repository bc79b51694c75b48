"""Runs every kernel benchmark in turn (make bench)."""

import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

KERNELS = ["thermo", "cold_pool", "profile", "gradient", "vad"]

for name in KERNELS:
    try:
        mod = importlib.import_module(f"bench_{name}")
    except ModuleNotFoundError:
        continue
    mod.main()
