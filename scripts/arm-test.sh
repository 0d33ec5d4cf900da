#!/usr/bin/env bash
# An ARM wheel of dist/ installed with pip into the Debian 13 tree of its
# architecture (armhf or arm64, scripts/arm-tree.sh) and the test suite run
# against it there, under qemu-user. The Redis servers that the tests start
# run natively.
#
#   scripts/arm-test.sh armhf|arm64 [pytest arguments]   (default: the whole suite)
#
# Builds the wheels first (scripts/wheels.sh) unless dist/ holds those of the
# current commit. Before installing, asks the tree's pip whether it accepts
# the wheel on each platform the wheel is for (scripts/arm-arch.sh names
# them). The install uses the tree's packages for the wheel's dependencies
# (pip --no-index: nothing is fetched), into the tree's /usr/local. The shared
# layer's tests need the test-only _binding_probe module, which no wheel
# holds: it is cross-built with the same toolchain and flags
# (build/ARCH-probe) and put beside the installed modules.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
arch=${1:-}
shift || true
say() { echo "== $arch: $*"; }
fail() { echo "$arch: $*" >&2; exit 1; }
source scripts/arm-arch.sh
python=$launcher
probe_build=$repo/build/$arch-probe
package=veltrano_python_configuration
started=$SECONDS

bash scripts/arm-tree.sh "$arch"
if [ "$(cat build/wheels/.commit 2>/dev/null)" != "$(git rev-parse HEAD)" ] || ! compgen -G "dist/$package-$wheel_glob" >/dev/null; then
    bash scripts/wheels.sh
fi
wheel=$(echo "$repo"/dist/$package-$wheel_glob)
source=$repo/build/wheels/source
say "$(basename "$wheel")"

pip() { "$python" -m pip --disable-pip-version-check --no-cache-dir "$@"; }

# --- which systems accept it ---------------------------------------------------
# pip's answer for each platform: a dry run for that platform.
for platform in "${pip_platforms[@]}"; do
    pip install -q --dry-run --no-index --no-deps --only-binary=:all: --platform "$platform" \
        --target "$repo/build/$arch/dry-run" "$wheel" \
        || fail "pip refuses $(basename "$wheel") on $platform"
done
say "pip $(pip --version | cut -d' ' -f2) accepts it on ${pip_platforms[*]}"

# --- install -------------------------------------------------------------------------
say "installing it with pip into ${root#"$repo"/}/usr/local (dependencies from the tree)"
pip uninstall -q -y --break-system-packages "$package" >/dev/null 2>&1 || true
rm -rf "$root"/usr/local/lib/python3*/dist-packages/"$package"
pip install -q --no-index --break-system-packages --root-user-action=ignore "$wheel"
installed=$(cd "$source" && "$python" -P -c "import $package, os; print(os.path.dirname($package.__file__))")
[[ $installed == "$root/usr/local/"* ]] || fail "the tests would import $installed, not the installed wheel"

# --- the test-only probe module ----------------------------------------------------
say "cross-building the test-only _binding_probe in ${probe_build#"$repo"/}"
tools=$repo/build/wheel-tools
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
if [ ! -f "$probe_build/build.ninja" ]; then
    "$tools/bin/cmake" -S "$source" -B "$probe_build" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" \
        -DCMAKE_TOOLCHAIN_FILE="$source/cmake/zig-toolchain.cmake" -DZIG="$zig" \
        -DZIG_CACHE_DIR="$repo/build/zig-cache" "${cmake_defines[@]/#/-D}" \
        -DVPC_TEST_PROBE=ON -DCMAKE_BUILD_TYPE=Release \
        > "$probe_build.log" 2>&1 || { cat "$probe_build.log"; fail "configuring failed"; }
fi
"$tools/bin/cmake" --build "$probe_build" --target _binding_probe
cp "$probe_build/$package"/_binding_probe.*.so "$installed/"

# --- the test suite under emulation --------------------------------------------------
say "running the tests under $qemu, against the installed wheel"
status=0
(cd "$source" && env -u PYTHONPATH "$python" -P -m pytest -p no:cacheprovider "$@") || status=$?
say "finished in $((SECONDS - started)) s"
exit $status
