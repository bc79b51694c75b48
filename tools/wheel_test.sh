#!/usr/bin/env bash
# Installs the wheel in dist/ into a fresh venv and runs the whole test suite
# against it, with no compiler reachable (PATH holds only the venv, CC and CXX
# are `false`, and pip takes binary packages only), from a copy of the tree
# without src/: every import of the package must come from the wheel.
# Usage: tools/wheel_test.sh PYTHON [TEST...] (PYTHON 3.12 or 3.13: the wheel of
# its version is tested; by the TESTs given, paths under tests/, else by all)
set -euo pipefail
py=$1
shift
tests=("$@")
[[ ${#tests[@]} -gt 0 ]] || tests=(tests)
root=$(pwd)
venv=$root/.venv-wheel-test
shopt -s nullglob
tag=$("$py" -c 'import sys; print("cp{}{}".format(*sys.version_info[:2]))')
wheels=(dist/*-"$tag"-*manylinux*.whl)
[[ ${#wheels[@]} -eq 1 ]] || { echo "error: expected one $tag manylinux wheel in dist/, found ${#wheels[@]} (run make wheel)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The tests, the README they check and the benchmark helpers they import:
# everything but the sources, the build trees and the venvs.
mkdir "$work/tree"
for f in * .[!.]*; do
    case $f in src | .git | .venv* | build | dist) continue ;; esac
    cp -r "$f" "$work/tree/"
done
# The suite's own dependencies, without the build tools.
grep -vE '^(scikit-build-core|pybind11|cmake|ninja)==' requirements-dev.txt > "$work/requirements.txt"

rm -rf "$venv"
"$py" -m venv "$venv"
nocc=(env "PATH=$venv/bin" CC=false CXX=false)
for c in cc c++ gcc g++ clang clang++; do
    if "${nocc[@]}" "$venv/bin/python" -c "import shutil, sys; sys.exit(shutil.which('$c') is None)"; then
        echo "error: a compiler ($c) is reachable in the installed-wheel test"; exit 1
    fi
done
"${nocc[@]}" python -m pip install -q --disable-pip-version-check --only-binary=:all: \
    "$root/${wheels[0]}" -r "$work/requirements.txt"
cd "$work/tree"
# TEST_WORKERS: processes for the tests (pytest-xdist; 0 runs them in this one).
"${nocc[@]}" python -m pytest -q -n "${TEST_WORKERS:-0}" -p tools.installed_wheel "${tests[@]}"
