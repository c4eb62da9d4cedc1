# Every target sets itself up on a fresh machine: a .venv with Python 3.13, the build and test
# tools, and the module built from the current sources.
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip --disable-pip-version-check -q
STAMP_TOOLS   := $(VENV)/.tools
STAMP_INSTALL := $(VENV)/.installed
SOURCES := $(shell find src python -type f -not -name "*.pyc") CMakeLists.txt pyproject.toml
FILE ?=

# A virtual environment with Python 3.13 at $(1), made unless it is there already.
venv = python=$$(tools/find-python313.sh) && test -x $(1)/bin/python || $$python -m venv $(1)

.PHONY: all test demo bench clean format lint

all: $(STAMP_INSTALL)

$(STAMP_TOOLS): tools/requirements-dev.txt
	@$(call venv,$(VENV))
	$(PIP) install -r tools/requirements-dev.txt
	@touch $@

$(STAMP_INSTALL): $(STAMP_TOOLS) $(SOURCES)
	$(PIP) install --no-build-isolation .
	@touch $@

test: $(STAMP_INSTALL)
	$(PY) -m pytest -q

# The demo has a venv of its own holding only what the module and the command need, installed
# with plain pip as a user would (the build tools come and go in pip's build environment).
DEMO_VENV  := .venv-demo
STAMP_DEMO := $(DEMO_VENV)/.installed

$(STAMP_DEMO): $(SOURCES) $(wildcard chopwiseCXX-stubs/*)
	@python=$$(tools/find-python313.sh) && test -x $(DEMO_VENV)/bin/python || $$python -m venv $(DEMO_VENV)
	$(DEMO_VENV)/bin/python -m pip --disable-pip-version-check -q install -C build-dir=build/demo .
	@touch $@

demo: $(STAMP_DEMO)
	PATH="$(CURDIR)/$(DEMO_VENV)/bin:$$PATH" sh examples/demo.sh $(FILE)

bench:  # its prerequisites are set in the benchmark block below
	$(BPY) bench/run.py
	$(BPY) bench/jobs.py
	$(MAKE) --no-print-directory bench-core
	$(PY) bench/cluster.py

# Lint: the Python files ruff's settings in pyproject.toml name, the C++ against .clang-format,
# and the library's types. `format` makes the mechanical changes lint asks for.
CXX_SOURCES = $(shell find src tests bench examples -name '*.cpp' -o -name '*.hpp' -o -name '*.c' | sort)

lint: $(STAMP_INSTALL)
	$(VENV)/bin/ruff check
	$(VENV)/bin/ruff format --check
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/mypy --strict python/chopwise

format: $(STAMP_TOOLS)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff check --fix-only --quiet
	$(VENV)/bin/ruff format --quiet

clean:
	rm -rf $(VENV) .venv-bench $(DEMO_VENV) $(ASAN_VENV) build dist

# --- type stubs, wheel ---------------------------------------------------------------------
# The stubs, the package description and the licence are installed with the module, so editing
# them reinstalls it.
$(STAMP_INSTALL): $(wildcard chopwiseCXX-stubs/*) docs/package.md LICENSE

.PHONY: wheel test-wheel
WHEEL_VENV        := build/wheel-venv
WHEEL_RAW         := build/wheel-raw
STAMP_WHEEL_TOOLS := $(VENV)/.wheel-tools
STAMP_DIST        := dist/.built
# Whatever the sdist can hold: a change to any tracked file makes the next `make wheel` rebuild.
DIST_INPUTS = $(wildcard $(shell git ls-files 2>/dev/null)) $(SOURCES)

$(STAMP_WHEEL_TOOLS): tools/requirements-wheel.txt $(STAMP_TOOLS)
	$(PIP) install -r tools/requirements-wheel.txt
	@touch $@

# An sdist, then a wheel built from that sdist in an isolated environment, as an index would get
# them. auditwheel (it runs patchelf, hence the PATH) gives the wheel the oldest manylinux tag
# its symbol versions allow, and refuses it if it needs a library outside the manylinux set.
$(STAMP_DIST): $(STAMP_WHEEL_TOOLS) $(DIST_INPUTS)
	rm -rf dist $(WHEEL_RAW)
	$(PY) -m build --outdir $(WHEEL_RAW) .
	mkdir -p dist && cp $(WHEEL_RAW)/*.tar.gz dist/
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist $(WHEEL_RAW)/*.whl
	@touch $@

wheel: $(STAMP_DIST)

# The built files as an index would check them, then the test suite against the wheel alone in a
# fresh virtual environment (takes a few minutes). --only-binary: pip may not build the project.
test-wheel: $(STAMP_DIST)
	$(VENV)/bin/twine check --strict dist/*.tar.gz dist/*.whl
	$(VENV)/bin/check-wheel-contents dist/*.whl
	$(PY) tools/check_dist.py dist
	rm -rf $(WHEEL_VENV)
	$(call venv,$(WHEEL_VENV))
	$(WHEEL_VENV)/bin/python -m pip --disable-pip-version-check -q install --only-binary chopwisecxx \
	  -r tools/requirements-dev.txt dist/chopwisecxx-*.whl
	$(WHEEL_VENV)/bin/python -c 'import sys, chopwiseCXX as m; \
	  assert m.__file__.startswith(sys.prefix + "/"), m.__file__; print("testing", m.__file__)'
	$(WHEEL_VENV)/bin/pytest -q -p no:cacheprovider

# Benchmark: the peers it compares against live in their own venv, never in the module's. The
# module goes in as the wheel built by .venv, so its build directory is reused.
BVENV := .venv-bench
BPY   := $(BVENV)/bin/python
STAMP_BENCH_PEERS  := $(BVENV)/.peers
STAMP_BENCH_MODULE := $(BVENV)/.installed
BENCH_CORPUS := bench/data/corpus.txt

$(STAMP_BENCH_PEERS): tools/requirements-bench.txt
	@$(call venv,$(BVENV))
	@grep -v '^#' $< | while read -r req; do \
	  $(BPY) -m pip install -q "$$req" || echo "bench: could not install $$req, it will be skipped"; \
	done
	@touch $@

$(STAMP_BENCH_MODULE): $(STAMP_BENCH_PEERS) $(STAMP_INSTALL)
	rm -rf build/bench-wheel
	$(PIP) wheel --no-build-isolation --no-deps -w build/bench-wheel .
	$(BPY) -m pip install -q --force-reinstall --no-deps build/bench-wheel/*.whl
	@touch $@

$(BENCH_CORPUS): bench/corpus.py | $(STAMP_BENCH_PEERS)
	rm -f $@ && $(BPY) bench/corpus.py

bench: $(STAMP_BENCH_MODULE) $(BENCH_CORPUS)

# The native core alone, without Python: the window scan against the byte-at-a-time path. The
# native programs (checks, fuzz replay, core bench) are built by CMake from the core's one source
# list; pytest builds and runs the checks the same way.
.PHONY: bench-core
NATIVE_BUILD := build/native
CMAKE_NATIVE = $(VENV)/bin/cmake -S . -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
               -DCHOPWISE_NATIVE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

bench-core: $(STAMP_TOOLS) $(BENCH_CORPUS)
	$(CMAKE_NATIVE) -B $(NATIVE_BUILD)
	$(VENV)/bin/cmake --build $(NATIVE_BUILD) --target core_bench
	$(NATIVE_BUILD)/core_bench $(BENCH_CORPUS)

# --- Hardening: sanitizer build, fuzzing and leak checks ------------------------------------
# test-asan builds the module with ASan+UBSan through the ordinary pip install, using only the
# CXXFLAGS/LDFLAGS a user would set, into its own venv and build dir so .venv stays as it is.
ASAN_VENV  := .venv-asan
ASAN_PY    := $(ASAN_VENV)/bin/python
ASAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -g
ASAN_LOGS  := build/asan-logs
FUZZ_SECONDS ?= 300
FUZZ_DIR   := build/fuzz
FUZZ_BUILD := $(FUZZ_DIR)/cmake

.PHONY: test-asan fuzz test-leaks

test-asan:
	@$(call venv,$(ASAN_VENV))
	$(ASAN_PY) -m pip --disable-pip-version-check -q install -r tools/requirements-dev.txt
	CXXFLAGS="$(ASAN_FLAGS)" LDFLAGS="-fsanitize=address,undefined" \
	  $(ASAN_PY) -m pip --disable-pip-version-check -q install --no-build-isolation \
	  --force-reinstall --no-deps -C build-dir=build/asan .
	@# Reports go to files as well, so one from a child process is not missed; the warnings
	@# of the deliberately refused huge allocations are expected and pass.
	rm -rf $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS)
	@# libstdc++ is preloaded too: the runtime must see it at start to intercept C++ throws.
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:log_path=$(CURDIR)/$(ASAN_LOGS)/asan \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(ASAN_LOGS)/ubsan \
	  $(ASAN_PY) -m pytest -q -p no:cacheprovider; \
	  status=$$?; \
	  reports=$$(grep -l -E 'ERROR|runtime error|CHECK failed' $(ASAN_LOGS)/* 2>/dev/null); \
	  if [ -n "$$reports" ]; then cat $$reports; echo "sanitizer reports above"; exit 1; fi; \
	  exit $$status

# libFuzzer needs clang; install it from Debian only when it is missing. Two builds (CMake,
# CHOPWISE_FUZZ): ASan makes each run that allocates a batch about a hundred times slower, so
# the search runs with UBSan alone and everything it keeps is then replayed under ASan+UBSan.
# New inputs go to a scratch directory; tests/fuzz/corpus keeps only the chosen ones.
# Every input runs under each wide kernel the CPU has; FUZZ_KERNEL=sse42 (plain, avx2) fuzzes
# one kernel alone.
fuzz: $(STAMP_TOOLS)
	@if ! command -v clang++ >/dev/null 2>&1 || ! dpkg -s libclang-rt-dev >/dev/null 2>&1; then \
	  apt-get update && apt-get install -y clang libclang-rt-dev; fi
	$(CMAKE_NATIVE) -B $(FUZZ_BUILD) -DCHOPWISE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) --target fuzz_core fuzz_core_asan fuzz_columns fuzz_columns_asan
	@# Each target searches from its own saved inputs: the core's, and the column engine's.
	for pair in fuzz_core:corpus fuzz_columns:columns_corpus; do \
	  target=$${pair%%:*}; corpus=tests/fuzz/$${pair##*:}; mkdir -p $(FUZZ_DIR)/$$target && \
	  $(FUZZ_BUILD)/$$target -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_DIR)/$$target- $(FUZZ_DIR)/$$target $$corpus && \
	  ASAN_OPTIONS=allocator_may_return_null=1 $(FUZZ_BUILD)/$${target}_asan -runs=0 \
	    -artifact_prefix=$(FUZZ_DIR)/asan-$$target- $(FUZZ_DIR)/$$target $$corpus || exit 1; \
	done

test-leaks: $(STAMP_INSTALL)
	mkdir -p build
	@command -v valgrind >/dev/null 2>&1 || (apt-get update && apt-get install -y valgrind)
	PYTHONMALLOC=malloc valgrind --quiet --leak-check=full --show-leak-kinds=definite \
	  --errors-for-leak-kinds=none --xml=yes --xml-file=build/valgrind-leaks.xml \
	  $(PY) tools/leak_script.py
	$(PY) tools/valgrind_report.py build/valgrind-leaks.xml chopwiseCXX
