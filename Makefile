# Quick start: `make demo`, `make test`. Both set up .venv on first use.
SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
# Python 3.12: python3.12 on PATH if it runs (a pyenv shim may not), else pyenv's.
PY312 := $(shell for c in python3.12 "$$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12 /usr/bin/python3.12; do \
            "$$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1 && { echo "$$c"; break; }; done)
# Python 3.13 likewise: `make test-313` and the second wheel of `make wheel`.
PY313 := $(shell for c in python3.13 "$$(pyenv root 2>/dev/null)"/versions/3.13*/bin/python3.13 /usr/bin/python3.13; do \
            "$$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$c"; break; }; done)
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo tour test test-313 bench install clean lint format wheel wheel-test docs

$(VENV)/.deps: requirements-dev.txt
	@test -n "$(PY312)" || { echo "error: Python 3.12 not found (python3.12 on PATH or under pyenv)"; exit 1; }
	test -x $(VPY) || $(PY312) -m venv $(VENV)
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

# Built without isolation against the pinned toolchain in the venv; the
# build directory is kept, so rebuilds are incremental. pip's whole output
# goes to a log; the terminal gets CMake's steps as they finish.
BUILD_NOTE = @echo "Building $(1): the C++ extensions _tarnwell and tarnwell._native, 14 steps; \
	from clean about a minute of CPU (30 s on 2 idle cores, minutes on busy ones), seconds after small changes"
pip_build = $(1) tools/build_progress.py $(2) -- $(1) -m pip install -v --no-build-isolation --no-deps $(3) .

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(call BUILD_NOTE,tarnwell into $(VENV))
	$(call pip_build,$(VPY),build/install-312.log)
	touch $@

install: $(VENV)/.built

# The main job: sample model and radar files through `tarnwell diagnose`,
# `tarnwell vad` and `tarnwell plot`, outputs under build/demo/.
demo: install
	$(VPY) demo/main_job.py

# A tour of the five kernels on built-in data, one section each.
tour: install
	$(VPY) demo/demo.py

# The suite's tests run in one process per core (at most 4; none on one core):
# each test builds its own inputs, so they share nothing. The slow tests,
# which measure memory and time, and the TSan run stay in one process.
TEST_WORKERS ?= $(shell n=$$(nproc 2>/dev/null || echo 1); [ $$n -gt 4 ] && n=4; [ $$n -lt 2 ] && n=0; echo $$n)
XDIST := -n $(TEST_WORKERS)

# Lint first: a formatting slip fails in seconds, before the suite runs.
test: install lint
	$(VPY) -m pytest -q $(XDIST)

# The whole suite on Python 3.13, in its own venv with the same pins.
V313 := .venv-313
$(V313)/.deps: requirements-dev.txt
	@test -n "$(PY313)" || { echo "error: Python 3.13 not found (python3.13 on PATH or under pyenv)"; exit 1; }
	test -x $(V313)/bin/python || $(PY313) -m venv $(V313)
	$(V313)/bin/python -m pip install -q -r requirements-dev.txt
	touch $@

$(V313)/.built: $(V313)/.deps $(SOURCES)
	$(call BUILD_NOTE,tarnwell into $(V313))
	$(call pip_build,$(V313)/bin/python,build/install-313.log)
	touch $@

test-313: $(V313)/.built
	$(V313)/bin/python -m pytest -q

# Python by ruff (pyproject.toml), C++ by clang-format (.clang-format), the
# package's import layers by import-linter (pyproject.toml), on the source tree.
CXX_FILES = $(shell find src tests/cpp bench -name '*.cpp' -o -name '*.hpp')
lint: $(VENV)/.deps
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_FILES)
	PYTHONPATH=src $(VENV)/bin/lint-imports --no-cache

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
# The 3.13 wheel is built by the same pinned tools in a 3.13 venv.
WVENV313 := .venv-wheel-build-313
RELEASE_WHEELS := cp312-manylinux_x86_64 cp313-manylinux_x86_64 cp312-manylinux_aarch64 cp313-manylinux_aarch64 cp312-macosx_x86_64 cp312-macosx_arm64 cp313-macosx_x86_64 cp313-macosx_arm64 cp312-win_amd64 cp313-win_amd64

$(WVENV)/.deps: requirements-wheel.txt requirements-dev.txt
	@test -n "$(PY312)" || { echo "error: Python 3.12 not found (python3.12 on PATH or under pyenv)"; exit 1; }
	test -x $(WPY) || $(PY312) -m venv $(WVENV)
	$(WPY) -m pip install -q -r requirements-wheel.txt
	touch $@

$(WVENV313)/.deps: requirements-wheel.txt requirements-dev.txt
	@test -n "$(PY313)" || { echo "error: Python 3.13 not found (python3.13 on PATH or under pyenv)"; exit 1; }
	test -x $(WVENV313)/bin/python || $(PY313) -m venv $(WVENV313)
	$(WVENV313)/bin/python -m pip install -q -r requirements-wheel.txt
	touch $@

wheel: $(WVENV)/.deps $(WVENV313)/.deps
	rm -rf dist build/wheel
	mkdir -p build/wheel/312 build/wheel/313
	time $(WPY) -m build --sdist --no-isolation --outdir dist .
	time $(WPY) -m pip wheel -v --no-deps --no-build-isolation -C build.verbose=true \
	    -w build/wheel/312 dist/*.tar.gz > build/wheel/build-312.log 2>&1
	time $(WVENV313)/bin/python -m pip wheel -v --no-deps --no-build-isolation -C build.verbose=true \
	    -w build/wheel/313 dist/*.tar.gz > build/wheel/build-313.log 2>&1
	$(WPY) tools/check_build_log.py build/wheel/build-312.log
	$(WPY) tools/check_build_log.py build/wheel/build-313.log
	time PATH="$(abspath $(WVENV))/bin:$$PATH" $(WVENV)/bin/auditwheel repair -w dist build/wheel/312/*.whl build/wheel/313/*.whl
	@ls dist/*-cp312-*manylinux_*.whl dist/*-cp313-*manylinux_*.whl >/dev/null 2>&1 || { echo "error: no manylinux wheel for 3.12 and 3.13 in dist/"; exit 1; }
	@# The release workflow's cibuildwheel settings parse and select the wheels meant.
	@ids="$$(for p in linux macos windows; do $(WVENV)/bin/cibuildwheel --print-build-identifiers --platform $$p; done | xargs)"; \
	  test "$$ids" = "$(RELEASE_WHEELS)" || { echo "error: cibuildwheel selects: $$ids"; exit 1; }; \
	  echo "release workflow builds: $$ids"
	ls -l dist

# Each wheel installed into a fresh venv with no compiler reachable, and the
# tests run against it from a copy of the tree without src/. The 3.13 wheel
# takes the whole suite: that is also the suite's run on Python 3.13 (CI
# runs no separate `make test-313`). The 3.12 wheel, whose sources and flags
# `make test` has already tested on 3.12, takes the tests of what only a
# wheel can get wrong: the compiled modules' loading, entry points and
# signatures, the stubs installed for type checkers, the installed command.
WHEEL_312_TESTS := tests/test_module.py tests/test_kernels.py tests/test_api_docs.py \
	tests/test_level_first.py tests/test_parcel.py tests/test_vad_unfold.py \
	tests/test_cli.py::test_python_dash_m_and_console_script_run
wheel-test:
	@test -n "$(PY313)" || { echo "error: Python 3.13 not found (python3.13 on PATH or under pyenv)"; exit 1; }
	@test -n "$(PY312)" || { echo "error: Python 3.12 not found (python3.12 on PATH or under pyenv)"; exit 1; }
	time env TEST_WORKERS=$(TEST_WORKERS) bash tools/wheel_test.sh "$$(command -v $(PY313))"
	time env TEST_WORKERS=$(TEST_WORKERS) bash tools/wheel_test.sh "$$(command -v $(PY312))" $(WHEEL_312_TESTS)

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
	rm -rf build dist $(VENV) $(V313) $(BVENV) $(WVENV) $(WVENV313) .venv-wheel-test $(DOCS_GENERATED)

	rm -rf build $(VENV) $(BVENV)

.PHONY: sanitize sanitize-asan sanitize-tsan
# Sanitizers. The extension is built with ASan+UBSan and, separately, with
# TSan, each into its own directory under build/ that is put ahead of .venv's
# normal build on PYTHONPATH (.venv only supplies Python and the test tools).
# The interpreter is not instrumented, so each runtime is preloaded, with the
# C++ library (Python does not link it, and ASan must find the real
# __cxa_throw beneath its own); Python's own allocations are not freed at
# exit, hence no leak detection. Any report
# ends the run: nothing is suppressed. The C++ tests are built with the same
# sanitizer and run directly.
SAN_CXX := $(shell command -v c++ || command -v g++)
ASAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g
TSAN_FLAGS := -fsanitize=thread -g
ASAN_RUN := env PYTHONPATH=build/asan/site PYTHONDONTWRITEBYTECODE=1 TARNWELL_HYPOTHESIS=thorough \
	LD_PRELOAD="$$($(SAN_CXX) -print-file-name=libasan.so) $$($(SAN_CXX) -print-file-name=libstdc++.so.6)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# TSan maps its shadow memory at fixed addresses; with address-space
# randomisation a library can land where the shadow must go, and the runtime
# then dies on a failed allocation (seen here about one run in eight), so the
# process runs without it. Reports go to files: pytest's output capture would
# swallow a report printed just before the abort.
TSAN_REPORTS := build/tsan/reports/tsan
# Even so, the runtime itself now and then fails to map memory for a thread
# it is starting ("ThreadSanitizer failed to allocate", errno 12, seen here
# once in several runs, in a test starting threads after dask's pools had
# started theirs). That is no finding about our code: the run is repeated
# once, and only when that is the sole message; any report still fails it.
TSAN_RUNTIME_FAILED = grep -qs "ThreadSanitizer failed to allocate" $(TSAN_REPORTS).* \
	&& ! grep -qs "WARNING: ThreadSanitizer" $(TSAN_REPORTS).*
TSAN_RUN := setarch $$(uname -m) -R env PYTHONPATH=build/tsan/site PYTHONDONTWRITEBYTECODE=1 \
	LD_PRELOAD="$$($(SAN_CXX) -print-file-name=libtsan.so) $$($(SAN_CXX) -print-file-name=libstdc++.so.6)" \
	TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:log_path=$(TSAN_REPORTS)
# The loop and concurrency tests, by name: calls from several Python threads,
# the lock release, thread-count invariance of every kernel, and the property
# tests' random thread counts (with the default example counts: the thorough
# ones run under ASan). The exit of a daemon thread, slow under TSan, runs
# under ASan only.
# The command's hostile-input tests are out by name: a parameter id of one
# ("fewer threads") matches, and it runs under an address-space limit TSan's
# allocator cannot live within.
TSAN_SELECT := (thread or concurrent or lock or matches_scalar or unaligned) and not daemon and not hostile
san_build = $(VPY) tools/build_progress.py build/$(1)/install.log -- \
	$(VPY) -m pip install -v --no-build-isolation --no-deps --upgrade \
	--target build/$(1)/site -C build-dir=build/$(1)/cmake -C cmake.build-type=RelWithDebInfo \
	-C "cmake.define.CMAKE_CXX_FLAGS=$(2)" -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=$(2)" .
san_cpp_tests = for t in tests/cpp/test_*.cpp; do \
	$(SAN_CXX) -std=c++17 -O1 -ffp-contract=off -fno-fast-math -pthread $(2) -Isrc "$$t" \
		-o build/$(1)/"$$(basename "$$t" .cpp)" && build/$(1)/"$$(basename "$$t" .cpp)" || exit 1; done
san_check_module = $(VPY) -c 'import _tarnwell as m; assert "/build/$(1)/site/" in m.__file__, m.__file__'

build/asan/.built: $(VENV)/.deps $(SOURCES)
	$(call BUILD_NOTE,tarnwell with AddressSanitizer+UBSan into build/asan)
	$(call san_build,asan,$(ASAN_FLAGS))
	touch $@

build/tsan/.built: $(VENV)/.deps $(SOURCES)
	$(call BUILD_NOTE,tarnwell with ThreadSanitizer into build/tsan)
	$(call san_build,tsan,$(TSAN_FLAGS))
	touch $@

# The command's fault tests are left out: they test signal, file-system and
# clean-up handling in Python, each in several subprocesses of the command
# (seconds apiece under ASan), and reach no compiled code that the rest of
# the suite does not. Several run the command under an address-space limit,
# where ASan cannot even map its shadow memory.
# Also out: the figures' tests, which draw what the command's own tests
# diagnose by the same calls (their time goes to matplotlib), and the type
# checks, in which mypy reads the sources and loads no compiled code.
ASAN_SKIP := --ignore=tests/test_cli_faults.py --ignore=tests/test_cli_hostile.py \
	--ignore=tests/test_plot_cape.py --ignore=tests/test_plot_grids.py \
	--ignore=tests/test_plot_panels.py -k "not mypy"

sanitize-asan: build/asan/.built
	$(call san_cpp_tests,asan,$(ASAN_FLAGS))
	$(ASAN_RUN) $(call san_check_module,asan)
	$(ASAN_RUN) $(VPY) -m pytest -q -p no:cacheprovider $(XDIST) $(ASAN_SKIP)

sanitize-tsan: build/tsan/.built
	$(call san_cpp_tests,tsan,$(TSAN_FLAGS))
	rm -rf $(dir $(TSAN_REPORTS)) && mkdir -p $(dir $(TSAN_REPORTS))
	$(TSAN_RUN) $(call san_check_module,tsan)
	$(TSAN_RUN) $(VPY) -m pytest -q -p no:cacheprovider -k "$(TSAN_SELECT)" \
	    || { cat $(TSAN_REPORTS).* 2>/dev/null; \
	         $(TSAN_RUNTIME_FAILED) || exit 1; \
	         echo "sanitize-tsan: the TSan runtime could not map memory (not a report); running again"; \
	         rm -f $(TSAN_REPORTS).*; \
	         $(TSAN_RUN) $(VPY) -m pytest -q -p no:cacheprovider -k "$(TSAN_SELECT)" \
	             || { cat $(TSAN_REPORTS).* 2>/dev/null; exit 1; }; }
	@! ls $(TSAN_REPORTS).* >/dev/null 2>&1 || { cat $(TSAN_REPORTS).*; exit 1; }

sanitize: sanitize-asan sanitize-tsan
