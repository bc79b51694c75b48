"""Docs inside Python: doctested examples, documented parameters and fields,
introspectable signatures, and types that mypy --strict checks."""

import doctest
import importlib
import inspect
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwell

FUNCTIONS = ["thermo", "cold_pool", "profile", "gradient", "vad", "parcel"]
MODULES = [
    "tarnwell",
    "tarnwell.kernels",
    "tarnwell.horizontal",
    "tarnwell.radar",
    "tarnwell.units",
    "tarnwell._core",
    "tarnwell._layout",
    "tarnwell.parcel",
]
ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run(name):
    module = importlib.import_module(name)
    flags = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS
    failed, attempted = doctest.testmod(module, optionflags=flags, verbose=False)
    assert failed == 0
    if name == "tarnwell.kernels":
        assert attempted >= 5 * 3


def section(doc, title):
    """The body of a numpydoc section."""
    match = re.search(rf"^ *{title}\n *-+\n(.*?)(?=^ *\w[\w ]*\n *-+\n|\Z)", doc, re.S | re.M)
    assert match, f"no {title} section"
    return match.group(1)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_parameter_and_field_is_documented(name):
    func = getattr(tarnwell, name)
    doc = inspect.getdoc(func)
    documented = set()
    for line in section(doc, "Parameters").splitlines():
        if re.match(r"^\S.* : ", line):
            documented |= {p.strip() for p in line.split(" : ")[0].split(",")}
    assert documented == set(inspect.signature(func).parameters)
    fields = inspect.signature(func).return_annotation
    if isinstance(fields, str):  # "Thermo[Any]": the generic named tuple
        fields = getattr(tarnwell, fields.split("[")[0])
    result = fields
    returns = section(doc, "Returns")
    for field in result._fields:
        assert f"``{field}``" in returns, field
    for title in ("Examples", "Notes"):
        section(doc, title)
    # every data argument comes first, the rest is keyword-only
    kinds = [p.kind for p in inspect.signature(func).parameters.values()]
    assert kinds == sorted(kinds, key=lambda k: k.value)
    assert "n_threads" in inspect.signature(func).parameters


def test_help_and_version():
    assert tarnwell.__version__ == "0.1.0"
    text = subprocess.run(
        [sys.executable, "-c", "import tarnwell; help(tarnwell.profile)"],
        capture_output=True,
        text=True,
        check=True,
        env={"PAGER": "cat", "TERM": "dumb"},
    ).stdout
    assert "helicity" in text and "Parameters" in text and "cu, cv" in text


def test_package_imports_without_optional_dependencies():
    code = (
        "import sys\n"
        "for name in ('xarray', 'dask', 'pint', 'distributed'):\n"
        "    sys.modules[name] = None  # importing it now fails\n"
        "import numpy as np, tarnwell\n"
        "print(float(tarnwell.thermo(300.0, 1e5, 290.0).theta))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "300.0"


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy not installed")
    cache = tmp_path_factory.mktemp("mypy_cache")

    def run(*args):
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *args],
            capture_output=True,
            text=True,
            cwd=ROOT,
        )

    return run


def test_mypy_strict_accepts_package_and_user_script(mypy):
    # The source tree where there is one, else the installed package (wheel test).
    source = ROOT / "src" / "tarnwell"
    package = mypy(str(source)) if source.is_dir() else mypy("-p", "tarnwell")
    assert package.returncode == 0, package.stdout
    script = mypy("tests/typing/user_script.py")
    assert script.returncode == 0, script.stdout


def test_mypy_strict_catches_a_misspelt_keyword(mypy, tmp_path):
    bad = tmp_path / "bad_script.py"
    text = (ROOT / "tests/typing/user_script.py").read_text()
    bad.write_text(text.replace("min_gates=10", "min_gate=10"))
    shutil.copy(ROOT / "pyproject.toml", tmp_path / "pyproject.toml")
    result = mypy(str(bad))
    assert result.returncode == 1
    assert 'Unexpected keyword argument "min_gate"' in result.stdout
