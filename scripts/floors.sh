#!/usr/bin/env bash
# The test suite against the lowest versions of the runtime dependencies that
# pyproject.toml allows: each "name>=X" of [project] dependencies installed at
# exactly X, with the build and test tools (pyproject.toml's dependency groups), in its own
# virtual environment (.venv-floors); the package is built and installed there
# and the suite runs against it. `make test` keeps the newest releases.
#
#   scripts/floors.sh [pytest arguments]
#
# Needs CPython 3.13 (that of .venv, made by `make env`, or $PYTHON) and
# redis-server. Safe to run again: the environment is made afresh only when
# pyproject.toml changed.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv-floors
started=$SECONDS

say() { echo "== floors: $*"; }
fail() { echo "floors: $*" >&2; exit 1; }

source scripts/base-python.sh
command -v redis-server >/dev/null 2>&1 || fail "needs redis-server: run 'make env' first"

# "redis>=5.0.7" -> "redis==5.0.7", one a line.
floors=$("$py" - <<'EOF'
import re, tomllib

with open("pyproject.toml", "rb") as f:
    for requirement in tomllib.load(f)["project"]["dependencies"]:
        match = re.fullmatch(r"\s*([A-Za-z0-9_.-]+)\s*>=\s*([^,;\s]+)\s*", requirement)
        if not match:
            raise SystemExit(f"floors: {requirement!r} names no lower bound alone")
        print(f"{match[1]}=={match[2]}")
EOF
)

stamp=$venv/.floors-stamp
want=$(sha1sum pyproject.toml | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    say "installing $(echo $floors) with the build and test tools into $venv"
    rm -rf "$venv"
    "$py" -m venv "$venv"
    echo "$floors" > "$venv/floors.txt"
    # pip 25.1 is the first to install dependency groups (--group).
    "$venv/bin/python" -m pip install -q --upgrade "pip>=25.1" 2>&1 | { grep -v "^WARNING: Location" || true; }
    # requests 2.31 carries no type information of its own: the check of the
    # stubs (mypy) needs typeshed's.
    "$venv/bin/python" -m pip install -q --group test --group build types-requests $floors -c "$venv/floors.txt" 2>&1 \
        | { grep -v "^WARNING: Location" || true; }
    echo "$want" > "$stamp"
fi
"$venv/bin/python" - "$venv/floors.txt" <<'EOF'
import sys
from importlib.metadata import version
from pip._vendor.packaging.version import Version

for line in open(sys.argv[1]).read().split():
    name, floor = line.split("==")
    if Version(version(name)) != Version(floor):
        sys.exit(f"floors: {name} {version(name)} is installed, not {floor}")
EOF

say "building and installing the package into $venv"
mkdir -p build
"$venv/bin/python" -m pip install --no-build-isolation --no-deps -q -C cmake.define.VPC_TEST_PROBE=ON \
    -C build-dir=build/floors . > build/floors-install.log 2>&1 \
    || { grep -v "^WARNING: Location" build/floors-install.log; exit 1; }

say "running the tests with $(echo $floors)"
"$venv/bin/python" -m pytest -p no:cacheprovider "$@"
say "passed in $((SECONDS - started)) s"
