# The two commands a newcomer needs: `make demo` (the main job) and `make test`.
# Both set up everything first (scripts/env.sh): a Python 3.13 virtual
# environment in .venv with all packages, and redis-server when missing.
PY := .venv/bin/python
# The test build also installs the _binding_probe module that the tests of the shared layer use.
BUILD_FLAGS := --no-build-isolation --no-deps -q -C cmake.define.VPC_TEST_PROBE=ON

.PHONY: env build test demo bench leakcheck test-load test-asan wheels wheel-check test-armhf test-aarch64 dist-check \
	lint format clean

env:
	@bash scripts/env.sh

build: env
	@mkdir -p build
	@echo "== building and installing the package into .venv"
	@$(PY) -m pip install $(BUILD_FLAGS) . > build/pip-install.log 2>&1 \
		|| { grep -v "^WARNING: Location" build/pip-install.log; exit 1; }

test: build
	$(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

demo: build
	$(PY) demo/walkthrough.py $(DEMO_ARGS)

# The benchmark table: our modules against plain-Python baselines and the
# libraries called directly (BENCH_ARGS=--quick for a short run, --markdown for
# the README table).
bench: build
	$(PY) bench/run.py $(BENCH_ARGS)

# Every public operation of the four modules 100,000 times, successful and
# failing paths; fails when memory grows past the bounds the script states.
leakcheck: build
	$(PY) leakcheck/run.py $(LEAKCHECK_ARGS)

# The suite against the lowest versions of redis, requests, aiohttp and pytz
# that pyproject.toml allows, in .venv-floors (scripts/floors.sh).
.PHONY: test-floors
test-floors: env
	bash scripts/floors.sh $(PYTEST_ARGS)

# The fault and load tests at full size (the suite runs them smaller).
test-load: build
	VPC_FULL_LOAD=1 $(PY) -m pytest -p no:cacheprovider tests/test_load.py tests/test_faults.py $(PYTEST_ARGS)

# The whole suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer (the sanitizer runtimes preloaded into the
# interpreter, Python's allocator switched to malloc so ASan sees every block).
ASAN_BUILD := build/asan
test-asan: env
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DVPC_TEST_PROBE=ON \
		-DVPC_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	@cmake --build $(ASAN_BUILD)
	PYTHONPATH=$(ASAN_BUILD) PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		$(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The release artefacts in dist/: the sdist, the x86_64 wheel
# (manylinux_2_17 / manylinux2014), the 32-bit ARM wheel (ARMv6+VFP,
# hard-float, ARM mode; linux_armv6l and linux_armv7l) and the 64-bit ARM
# wheel (manylinux_2_17 / manylinux2014 aarch64), built from a clean clone
# with zig's compiler and checked (wheel-check).
wheels: env
	bash scripts/wheels.sh

# The checks of the artefacts in dist/: contents, the C library as their only
# need, the manylinux tags (auditwheel show, which must find exactly each
# wheel's tag), the 32-bit ARM objects (readelf -A and their disassembly).
wheel-check:
	bash scripts/wheel-check.sh

# 32-bit ARM: the ARM wheel installed with pip into a Debian 13 armhf tree,
# the suite run against it under qemu-arm.
test-armhf: env
	bash scripts/arm-test.sh armhf $(PYTEST_ARGS)

# 64-bit ARM: the aarch64 wheel installed with pip into a Debian 13 arm64
# tree, the suite run against it under qemu-aarch64.
test-aarch64: env
	bash scripts/arm-test.sh arm64 $(PYTEST_ARGS)

# The x86_64 wheel installed in a fresh venv passes the suite (with and
# without the hiredis parser).
dist-check: env
	bash scripts/check-dist.sh $(PYTEST_ARGS)

# The layout checks, changing nothing: clang-format (.clang-format) over the
# C++ of src/ and tests/probe/, ruff's lint and format checks (pyproject.toml)
# over the Python of tests/ bench/ leakcheck/ demo/ scripts/. Fails on any
# difference; runs all three first.
CXX_SOURCES = $(shell find src tests/probe \( -name '*.cpp' -o -name '*.hpp' \) | sort)
PY_TREES := tests bench leakcheck demo scripts
lint: env
	@status=0; \
	.venv/bin/clang-format --dry-run --Werror $(CXX_SOURCES) || status=1; \
	.venv/bin/ruff check $(PY_TREES) || status=1; \
	.venv/bin/ruff format --check $(PY_TREES) || status=1; \
	exit $$status

# The same tools applied: the C++ reformatted in place, ruff's safe fixes
# (import order, newer syntax) and its formatter over the Python.
format: env
	.venv/bin/clang-format -i $(CXX_SOURCES)
	.venv/bin/ruff check --fix --quiet $(PY_TREES) || true
	.venv/bin/ruff format $(PY_TREES)

clean:
	rm -rf build .venv .venv-floors dist
