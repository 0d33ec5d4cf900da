#!/usr/bin/env bash
# Distribution check, on a clean clone of the committed tree (HEAD):
#   1. builds the sdist, and the wheel from that sdist (python -m build, with
#      build isolation, as an installer would);
#   2. checks what they hold: no build output or virtual environment in the
#      sdist; the four modules, their stubs and py.typed in the wheel, and not
#      the test-only _glue_probe;
#   3. installs the wheel with its test extra into a fresh virtual environment
#      and runs the clone's test suite against the installed package (the
#      tests that need _glue_probe skip);
#   4. adds the `fast` extra, checks that redis-py then uses its hiredis
#      parser, and runs the suite once more.
#
#   scripts/check-dist.sh [pytest arguments]
#
# Works in build/dist-check (made afresh at each run; the sdist and the wheel
# stay in build/dist-check/dist). Needs CPython 3.13 (that of .venv, made by
# `make env`, or $PYTHON) and redis-server.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
work=$repo/build/dist-check
package=veltrano_python_configuration
modules=(journal_setup cache_access service_toolkit broker_setup)
started=$SECONDS

say() { echo "== dist: $*"; }
fail() { echo "dist: $*" >&2; exit 1; }

if [ -n "${PYTHON:-}" ]; then
    py=$PYTHON
elif [ -x .venv/bin/python ]; then
    py=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
else
    py=python3.13
fi
"$py" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null \
    || fail "needs CPython 3.13: run 'make env' first, or set PYTHON"
command -v redis-server >/dev/null 2>&1 || fail "needs redis-server: run 'make env' first"

rm -rf "$work"
mkdir -p "$work"
changes=$(git status --porcelain --untracked-files=no | wc -l)
[ "$changes" = 0 ] || say "note: $changes uncommitted change(s) are not part of the check"
say "cloning $(git rev-parse --short HEAD) into ${work#"$repo"/}/source"
git clone -q --no-hardlinks "$repo" "$work/source"

say "building the sdist, and the wheel from it"
"$py" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q build
"$work/tools/bin/python" -m build --outdir "$work/dist" "$work/source" > "$work/build.log" 2>&1 \
    || { tail -40 "$work/build.log"; fail "the build failed (log: ${work#"$repo"/}/build.log)"; }
sdist=$(echo "$work"/dist/*.tar.gz)
wheel=$(echo "$work"/dist/*.whl)
[ -f "$sdist" ] && [ -f "$wheel" ] || fail "expected one sdist and one wheel in ${work#"$repo"/}/dist"

"$work/tools/bin/python" - "$sdist" "$wheel" "$package" "${modules[@]}" <<'EOF'
import sys, tarfile, zipfile

sdist, wheel, package, modules = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
problems = []

with tarfile.open(sdist) as t:
    names = [n.split("/", 1)[1] for n in t.getnames() if "/" in n]
for name in names:
    if name.split("/")[0] in ("build", ".venv", ".git", "dist") or "__pycache__" in name:
        problems.append(f"sdist holds {name}")
for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", f"src/{package}/__init__.py"):
    if needed not in names:
        problems.append(f"sdist lacks {needed}")

with zipfile.ZipFile(wheel) as z:
    names = z.namelist()
    metadata = next((z.read(n).decode() for n in names if n.endswith(".dist-info/METADATA")), "")
files = {n.split("/", 1)[1] for n in names if n.startswith(package + "/")}
for m in modules:
    if not any(f.startswith(f"{m}.cpython-313-") and f.endswith(".so") for f in files):
        problems.append(f"wheel lacks the module {m}")
    if f"{m}.pyi" not in files:
        problems.append(f"wheel lacks {m}.pyi")
for needed in ("__init__.py", "py.typed"):
    if needed not in files:
        problems.append(f"wheel lacks {needed}")
if any(f.startswith("_glue_probe") for f in files):
    problems.append("wheel holds the test-only _glue_probe")
if "Provides-Extra: fast" not in metadata:
    problems.append("wheel metadata has no 'fast' extra")

if problems:
    sys.exit("dist: " + "\n      ".join(problems))
print(f"== dist: {len(files)} package files in the wheel, {len(names)} entries in all: as expected")
EOF

say "installing $(basename "$wheel") into a fresh virtual environment"
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "$wheel[test]" mypy
# The suite runs from the clone, but must import the installed package: -P
# keeps the working directory off sys.path, and the clone keeps its sources in src/.
run_tests() {
    (cd "$work/source" && env -u PYTHONPATH "$work/venv/bin/python" -P -m pytest -p no:cacheprovider "$@")
}
location=$(cd "$work/source" && env -u PYTHONPATH "$work/venv/bin/python" -P -c "import $package; print($package.__file__)")
[[ $location == "$work/venv/"* ]] || fail "the tests would import $location, not the installed wheel"

say "running the tests against the installed wheel"
run_tests "$@"

say "adding the fast extra (hiredis)"
"$work/venv/bin/python" -m pip install -q "$wheel[fast]"
"$work/venv/bin/python" -c 'import redis.utils, sys; sys.exit(0 if redis.utils.HIREDIS_AVAILABLE else "redis-py does not use hiredis")'
say "running the tests again, redis-py replies parsed by hiredis"
run_tests "$@"

say "passed in $((SECONDS - started)) s; sdist and wheel in ${work#"$repo"/}/dist"
