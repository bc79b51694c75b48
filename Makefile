# Quick start: `make demo`, `make test`. Both set up .venv on first use.
SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
# Python 3.12: python3.12 on PATH if it runs (a pyenv shim may not), else pyenv's.
PY312 := $(shell for c in python3.12 "$$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12 /usr/bin/python3.12; do \
            "$$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1 && { echo "$$c"; break; }; done)
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo tour test bench install clean lint format wheel wheel-test docs

$(VENV)/.deps: requirements-dev.txt
	@test -n "$(PY312)" || { echo "error: Python 3.12 not found (python3.12 on PATH or under pyenv)"; exit 1; }
	test -x $(VPY) || $(PY312) -m venv $(VENV)
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

# Built without isolation against the pinned toolchain in the venv; the
# build directory is kept, so rebuilds are incremental.
$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.built

# The main job: sample model and radar files through `tarnwell diagnose`,
# `tarnwell vad` and `tarnwell plot`, outputs under build/demo/.
demo: install
	$(VPY) demo/main_job.py

# A tour of the five kernels on built-in data, one section each.
tour: install
	$(VPY) demo/demo.py

test: install
	$(VPY) -m pytest -q

# Python by ruff (pyproject.toml), C++ by clang-format (.clang-format).
CXX_FILES = $(shell find src tests/cpp bench -name '*.cpp' -o -name '*.hpp')
lint: $(VENV)/.deps
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_FILES)

format: $(VENV)/.deps
	$(VENV)/bin/ruff check --fix .
	$(VENV)/bin/ruff format .
	$(VENV)/bin/clang-format -i $(CXX_FILES)

# Benchmarks against the peers (MetPy, Py-ART, metrust, NumPy) run in their
# own venv, so that the peers' pins never touch the test environment.
BVENV := .venv-bench
BPY := $(BVENV)/bin/python
# The OpenBLAS overrides of some hosts slow a current NumPy down: the peers
# are measured as a user would run them. OpenBLAS's own worker thread, started
# when NumPy is imported, spins on the second core and halves every 2-thread
# figure; none of the compared code needs a multithreaded BLAS, so it is off.
BENV := env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OPENBLAS_NUM_THREADS=1

$(BVENV)/.deps: requirements-dev.txt bench/requirements-peers.txt bench/constraints-peers.txt bench/install-peers.sh
	@test -n "$(PY312)" || { echo "error: Python 3.12 not found (python3.12 on PATH or under pyenv)"; exit 1; }
	test -x $(BPY) || $(PY312) -m venv $(BVENV)
	$(BPY) -m pip install -q -r requirements-dev.txt
	bash bench/install-peers.sh $(BPY)
	touch $@

$(BVENV)/.built: $(BVENV)/.deps $(SOURCES)
	$(BPY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/bench .
	touch $@

# One run of every kernel's benchmark file; writes docs/benchmarks.md.
bench: $(BVENV)/.built
	$(BENV) $(BPY) bench/run.py

# Release artefacts in dist/: the sdist, and a wheel built from that sdist (so
# the sdist is known to be complete) with the pinned tools of
# requirements-wheel.txt, then repaired by auditwheel into the most compatible
# manylinux tag this machine's glibc allows (PyPI refuses plain linux_*).
WVENV := .venv-wheel-build
WPY := $(WVENV)/bin/python
RELEASE_WHEELS := cp312-manylinux_x86_64 cp312-manylinux_aarch64 cp312-macosx_x86_64 cp312-macosx_arm64 cp312-win_amd64

$(WVENV)/.deps: requirements-wheel.txt requirements-dev.txt
	@test -n "$(PY312)" || { echo "error: Python 3.12 not found (python3.12 on PATH or under pyenv)"; exit 1; }
	test -x $(WPY) || $(PY312) -m venv $(WVENV)
	$(WPY) -m pip install -q -r requirements-wheel.txt
	touch $@

wheel: $(WVENV)/.deps
	rm -rf dist build/wheel
	mkdir -p build/wheel
	time $(WPY) -m build --sdist --no-isolation --outdir dist .
	time $(WPY) -m pip wheel -v --no-deps --no-build-isolation -C build.verbose=true \
	    -w build/wheel dist/*.tar.gz > build/wheel/build.log 2>&1
	$(WPY) tools/check_build_log.py build/wheel/build.log
	time PATH="$(abspath $(WVENV))/bin:$$PATH" $(WVENV)/bin/auditwheel repair -w dist build/wheel/*.whl
	@ls dist/*-manylinux_*.whl >/dev/null 2>&1 || { echo "error: no manylinux wheel in dist/"; exit 1; }
	@# The release workflow's cibuildwheel settings parse and select the wheels meant.
	@ids="$$(for p in linux macos windows; do $(WVENV)/bin/cibuildwheel --print-build-identifiers --platform $$p; done | xargs)"; \
	  test "$$ids" = "$(RELEASE_WHEELS)" || { echo "error: cibuildwheel selects: $$ids"; exit 1; }; \
	  echo "release workflow builds: $$ids"
	ls -l dist

# The wheel installed into a fresh venv with no compiler reachable, and the
# whole test suite run against it from a copy of the tree without src/.
wheel-test:
	@test -n "$(PY312)" || { echo "error: Python 3.12 not found (python3.12 on PATH or under pyenv)"; exit 1; }
	time bash tools/wheel_test.sh "$$(command -v $(PY312))"

# The documentation site, built with warnings as errors from the installed
# package's docstrings; the gallery's scripts run at every build.
# Open build/docs/html/index.html.
DOCS_GENERATED := docs/gallery docs/api/generated docs/api/backreferences docs/sg_execution_times.rst

$(VENV)/.docs-deps: $(VENV)/.deps requirements-docs.txt
	$(VPY) -m pip install -q -r requirements-dev.txt -r requirements-docs.txt
	touch $@

docs: install $(VENV)/.docs-deps
	OPENBLAS_NUM_THREADS=1 $(VENV)/bin/sphinx-build -W --keep-going -q -b html \
	    -d build/docs/doctrees docs build/docs/html
	@echo "docs: build/docs/html/index.html"

clean:
	rm -rf build dist $(VENV) $(BVENV) $(WVENV) .venv-wheel-test $(DOCS_GENERATED)
