# Quick start: `make demo`, `make test`. Both set up .venv on first use.
SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
# Python 3.12: python3.12 on PATH if it runs (a pyenv shim may not), else pyenv's.
PY312 := $(shell for c in python3.12 "$$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12 /usr/bin/python3.12; do \
            "$$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1 && { echo "$$c"; break; }; done)
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test bench install clean lint format

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

demo: install
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

clean:
	rm -rf build $(VENV) $(BVENV)
