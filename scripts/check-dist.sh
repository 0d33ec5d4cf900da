#!/usr/bin/env bash
# Distribution check of the x86_64 wheel of dist/ (manylinux_2_17, made by
# scripts/wheels.sh from a clean clone of the committed tree):
#   1. installs the wheel and the test packages into a fresh virtual
#      environment and runs the test suite of the same commit against the
#      installed package (the tests that need the test-only _binding_probe skip);
#   2. adds the `fast` extra, checks that redis-py then uses its hiredis
#      parser, and runs the suite once more.
#
#   scripts/check-dist.sh [pytest arguments]
#
# Builds the wheels first unless dist/ holds those of the current commit.
# Works in build/dist-check (made afresh at each run). Needs CPython 3.13
# (that of .venv, made by `make env`, or $PYTHON) and redis-server.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
work=$repo/build/dist-check
package=veltrano_python_configuration
started=$SECONDS

say() { echo "== dist: $*"; }
fail() { echo "dist: $*" >&2; exit 1; }

source scripts/base-python.sh
command -v redis-server >/dev/null 2>&1 || fail "needs redis-server: run 'make env' first"

if [ "$(cat build/wheels/.commit 2>/dev/null)" != "$(git rev-parse HEAD)" ] || ! compgen -G "dist/$package-*manylinux*_x86_64.whl" >/dev/null; then
    bash scripts/wheels.sh
fi
wheel=$(echo "$repo"/dist/$package-*manylinux*_x86_64.whl)
source=$repo/build/wheels/source

rm -rf "$work"
say "installing $(basename "$wheel") into a fresh virtual environment"
"$py" -m venv "$work/venv"
# The test packages are the `test` dependency group of the clone's
# pyproject.toml, which pip installs from 25.1 on (a fresh venv may hold an
# older one).
"$work/venv/bin/python" -m pip install -q --upgrade "pip>=25.1" 2>&1 | { grep -v "^WARNING: Location" || true; }
"$work/venv/bin/python" -m pip install -q "$wheel" --group "$source/pyproject.toml:test" 2>&1 \
    | { grep -v "^WARNING: Location" || true; }
# The suite runs from the clone the wheel was built from, but must import the
# installed package: -P keeps the working directory off sys.path, and the
# clone keeps its sources in src/.
run_tests() {
    (cd "$source" && env -u PYTHONPATH "$work/venv/bin/python" -P -m pytest -p no:cacheprovider "$@")
}
location=$(cd "$source" && env -u PYTHONPATH "$work/venv/bin/python" -P -c "import $package; print($package.__file__)")
[[ $location == "$work/venv/"* ]] || fail "the tests would import $location, not the installed wheel"

say "running the tests against the installed wheel"
run_tests "$@"

say "adding the fast extra (hiredis)"
"$work/venv/bin/python" -m pip install -q "$wheel[fast]" 2>&1 | { grep -v "^WARNING: Location" || true; }
"$work/venv/bin/python" -c 'import redis.utils, sys; sys.exit(0 if redis.utils.HIREDIS_AVAILABLE else "redis-py does not use hiredis")'
say "running the tests again, redis-py replies parsed by hiredis"
run_tests "$@"

say "passed in $((SECONDS - started)) s"
