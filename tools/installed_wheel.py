"""pytest plugin of the installed-wheel test: stops the run unless every
module of the installed `tarnwell` distribution is imported from the venv's
site-packages, and skips, with the reason, the tests that need the source
tree and a compiler."""

import importlib
import importlib.metadata
import sys
import sysconfig
from pathlib import Path

import pytest

# Test file -> why it cannot run against a wheel.
NEEDS_SOURCE = {
    "test_cpp.py": "builds C++ test programs from src/ with a compiler; "
    "the installed-wheel run has neither",
    "test_bench.py": "the benchmark's machine controls are C++ compiled at run time; "
    "the installed-wheel run has no compiler",
}

_ORIGINS = []


def _top_level_modules(dist):
    names = set()
    for f in dist.files or ():
        first = f.parts[0]
        # A stub-only package (PEP 561) holds types, not an importable module.
        if first.endswith((".dist-info", ".data", ".libs", "-stubs")) or first == "..":
            continue
        names.add(first.split(".")[0] if len(f.parts) == 1 else first)
    return sorted(names)


def pytest_configure(config):
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    if sys.prefix == sys.base_prefix:
        raise pytest.UsageError("the installed-wheel test must run in a venv")
    dist = importlib.metadata.distribution("tarnwell")
    modules = _top_level_modules(dist)
    if "_tarnwell" not in modules:
        raise pytest.UsageError(f"the installed distribution has no _tarnwell: {modules}")
    for name in modules:
        origin = Path(importlib.import_module(name).__file__).resolve()
        if not origin.is_relative_to(site):
            raise pytest.UsageError(f"{name} imported from {origin}, not from {site}")
        _ORIGINS.append(f"{name} from {origin}")


def pytest_terminal_summary(terminalreporter):
    for line in _ORIGINS:
        terminalreporter.write_line(f"installed wheel: {line}")


def pytest_collection_modifyitems(config, items):
    for item in items:
        reason = NEEDS_SOURCE.get(item.path.name)
        if reason:
            item.add_marker(pytest.mark.skip(reason=f"installed wheel: {reason}"))
