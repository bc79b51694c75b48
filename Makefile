# Quick start: `make demo`, `make test`. Both set up .venv on first use.
SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
# Python 3.12: python3.12 on PATH if it runs (a pyenv shim may not), else pyenv's.
PY312 := $(shell for c in python3.12 "$$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12 /usr/bin/python3.12; do \
            "$$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1 && { echo "$$c"; break; }; done)
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo tour test bench install clean docs

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

# Benchmarks against the peers (MetPy, Py-ART, metrust, NumPy) run in their
# own venv, so that the peers' pins never touch the test environment.
BVENV := .venv-bench
BPY := $(BVENV)/bin/python
# The OpenBLAS overrides of some hosts slow a current NumPy down: the peers
# are measured as a user would run them. OpenBLAS's own worker thread, started
# when NumPy is imported, spins on the second core and halves every 2-thread
# figure; none of the compared code needs a multithreaded BLAS, so it is off.
BENV := env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OPENBLAS_NUM_THREADS=1

$(BVENV)/.deps: requirements-dev.txt bench/peers/requirements.txt bench/peers/constraints.txt bench/peers/install.sh
	@test -n "$(PY312)" || { echo "error: Python 3.12 not found (python3.12 on PATH or under pyenv)"; exit 1; }
	test -x $(BPY) || $(PY312) -m venv $(BVENV)
	$(BPY) -m pip install -q -r requirements-dev.txt
	bash bench/peers/install.sh $(BPY)
	touch $@

$(BVENV)/.built: $(BVENV)/.deps $(SOURCES)
	$(BPY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/bench .
	touch $@

bench: $(BVENV)/.built
	$(BENV) $(BPY) bench/run_all.py
	$(BENV) $(BPY) bench/peers/run.py

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
	rm -rf build $(VENV) $(BVENV) $(DOCS_GENERATED)
