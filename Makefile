# The two commands a newcomer needs: `make demo` (the main job) and `make test`.
# Both set up everything first (scripts/env.sh): a Python 3.13 virtual
# environment in .venv with all packages, and redis-server when missing.
PY := .venv/bin/python
# The test build also installs the _glue_probe module that the tests of the shared layer use.
BUILD_FLAGS := --no-build-isolation --no-deps -q -C cmake.define.VPC_TEST_PROBE=ON

.PHONY: env build test demo clean

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

clean:
	rm -rf build .venv
