"""Which peers installed and import here. A peer that does not is reported
by name with its error; nothing stands in for it."""

import contextlib
import importlib
import importlib.util
import io
import os
import sys
import warnings

_modules = {}
_errors = {}

PEERS = [
    ("numpy", "numpy", "NumPy"),
    ("metpy", "metpy.calc", "MetPy"),
    ("pyart", "pyart", "Py-ART (arm-pyart)"),
    ("metrust", "metrust.calc", "metrust"),
    ("sharppy", "sharppy", "SHARPpy (sounding files only)"),
]


def get(key):
    """The imported peer module, or None if it does not import here."""
    if key in _modules or key in _errors:
        return _modules.get(key)
    mod_name = dict((k, m) for k, m, _ in PEERS)[key]
    try:
        # Py-ART prints a citation banner on import; the peers' own
        # deprecation warnings are theirs, not this run's.
        with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if key == "sharppy":
                # Only the data files are wanted: the package itself pulls
                # in a GUI stack that was deliberately not installed.
                mod = importlib.util.find_spec("sharppy")
                if mod is None:
                    raise ModuleNotFoundError("No module named 'sharppy'")
            else:
                mod = importlib.import_module(mod_name)
        _modules[key] = mod
    except Exception as exc:  # any failure to import is reported, not raised
        _errors[key] = f"{type(exc).__name__}: {exc}"
    return _modules.get(key)


def version(key):
    from importlib.metadata import PackageNotFoundError, version as v
    dist = {"numpy": "numpy", "metpy": "metpy", "pyart": "arm_pyart", "metrust": "metrust",
            "sharppy": "sharppy"}[key]
    try:
        return v(dist)
    except PackageNotFoundError:
        return None


def status_lines():
    record = os.path.join(sys.prefix, "peers-install.txt")
    lines = []
    if os.path.exists(record):
        lines.append("Install record of `make bench` (`bench/peers/install.sh`):")
        lines.append("")
        with open(record) as fh:
            for line in fh:
                req, _, state = line.rstrip("\n").partition("\t")
                lines.append(f"- `{req}`: {state}")
        lines.append("")
    lines.append("Imports in this run:")
    lines.append("")
    for key, _, label in PEERS:
        get(key)
        if key in _modules:
            lines.append(f"- {label} {version(key)}: imports")
        else:
            lines.append(f"- {label}: **does not import here** ({_errors[key]}); its comparisons are not run")
    return lines


def missing_note(key):
    return f"not run: {dict((k, l) for k, _, l in PEERS)[key]} does not import here ({_errors.get(key, 'not installed')})"
