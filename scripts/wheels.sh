#!/usr/bin/env bash
# The release artefacts, from a clean clone of the committed tree (HEAD), into dist/:
#   - the sdist;
#   - the x86_64 wheel, tagged manylinux_2_17_x86_64.manylinux2014_x86_64;
#   - the 32-bit ARM wheel (hard-float, ARMv6 with VFP, ARM mode), tagged
#     linux_armv6l.linux_armv7l;
#   - the 64-bit ARM wheel, tagged manylinux_2_17_aarch64.manylinux2014_aarch64;
# then checks all four (scripts/wheel-check.sh).
#
#   scripts/wheels.sh
#
# The wheels are built from the sdist (as an installer would build it) with
# zig's compiler from the `ziglang` package (cmake/zig-toolchain.cmake says
# why), against glibc 2.17 (the 32-bit ARM one against 2.28) and with the C++
# runtime linked in: on the target they need the C library only (the 32-bit
# ARM one also libgcc_s, the unwinder glibc itself uses). Each ARM
# wheel is built against the CPython 3.13 of the Debian tree of its
# architecture that scripts/arm-tree.sh makes (scripts/arm-arch.sh holds what
# differs between the two).
#
# Works in build/wheels (made afresh at each run). The tools live in
# build/wheel-tools and zig's caches in build/zig-cache: both are kept, so a
# second run does not build zig's C++ runtimes again (about a minute each).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
work=$repo/build/wheels
tools=$repo/build/wheel-tools
zig_cache=$repo/build/zig-cache
package=veltrano_python_configuration
started=$SECONDS

say() { echo "== wheels: $*"; }
fail() { echo "wheels: $*" >&2; exit 1; }

# --- tools ----------------------------------------------------------------------
source scripts/base-python.sh
# zig 0.17 and scikit-build-core 1.1 are the versions these builds were
# checked with (the toolchain-file, python-hints and tags settings used below
# came with scikit-build-core 0.12); pyproject.toml asks for the same floor.
requirements=("ziglang>=0.17,<0.18" "scikit-build-core>=1.1" "cmake>=4.1" "ninja>=1.11" "build>=1.2"
              "auditwheel>=6.1" "packaging>=24")
stamp="$("$py" -c 'import sys; print(sys.version)') ${requirements[*]}"
if [ "$(cat "$tools/.stamp" 2>/dev/null)" != "$stamp" ]; then
    say "installing the build tools into ${tools#"$repo"/}"
    rm -rf "$tools"
    "$py" -m venv "$tools"
    "$tools/bin/python" -m pip install -q "${requirements[@]}" 2>&1 | { grep -v "^WARNING: Location" || true; }
    echo "$stamp" > "$tools/.stamp"
fi
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export PATH="$tools/bin:$PATH"

for arch in armhf arm64; do
    bash scripts/arm-tree.sh "$arch"
done

# --- sources --------------------------------------------------------------------
rm -rf "$work"
mkdir -p "$work"
changes=$(git status --porcelain --untracked-files=no | wc -l)
[ "$changes" = 0 ] || say "note: $changes uncommitted change(s) are not part of the build"
say "cloning $(git rev-parse --short HEAD) into ${work#"$repo"/}/source"
git clone -q --no-hardlinks "$repo" "$work/source"

say "building the sdist"
"$tools/bin/python" -m build --no-isolation --sdist --outdir "$work/dist" "$work/source" \
    > "$work/sdist.log" 2>&1 || { tail -30 "$work/sdist.log"; fail "the sdist failed (log: ${work#"$repo"/}/sdist.log)"; }
sdist=$(echo "$work"/dist/*.tar.gz)
[ -f "$sdist" ] || fail "no sdist in ${work#"$repo"/}/dist"

# Each wheel is built from a fresh copy of the unpacked sdist, tagged with
# the tags given (;-separated). Its file name lists their platforms in the
# order given, the primary name first (manylinux_2_17_x86_64.manylinux2014_x86_64,
# as auditwheel names such wheels); scikit-build-core would sort them, which
# puts the older alias first.
build_wheel() {
    local name=$1 tags=$2; shift 2
    local src=$work/$name
    mkdir -p "$src"
    tar -xzf "$sdist" -C "$src" --strip-components=1
    say "building the $name wheel from the sdist"
    local begun=$SECONDS
    "$tools/bin/python" -m build --no-isolation --wheel --outdir "$src/dist" "$src" \
        -C cmake.toolchain-file="$src/cmake/zig-toolchain.cmake" \
        -C cmake.define.ZIG="$zig" -C cmake.define.ZIG_CACHE_DIR="$zig_cache" \
        -C cmake.build-type=Release -C build-dir="$src/build" -C wheel.tags="$tags" \
        "$@" > "$work/$name.log" 2>&1 \
        || { tail -40 "$work/$name.log"; fail "the $name wheel failed (log: ${work#"$repo"/}/$name.log)"; }
    local built platforms built_name
    built=$(echo "$src"/dist/*.whl)
    [ -f "$built" ] || fail "no $name wheel in ${src#"$repo"/}/dist"
    platforms=$(tr ';' '\n' <<< "$tags" | sed 's/.*-//' | paste -sd.)
    built_name=$(basename "$built")
    mv "$built" "$work/dist/${built_name%-*}-$platforms.whl"
    say "$name wheel built in $((SECONDS - begun)) s"
}

# glibc 2.17, the floor of manylinux2014, covers what the x86_64 modules use
# (glibc 2.16 symbols at most): zig links against a stub of exactly that
# version, so no newer symbol can slip in.
build_wheel x86_64 "cp313-cp313-manylinux_2_17_x86_64;cp313-cp313-manylinux2014_x86_64" \
    -C cmake.define.ZIG_TARGET=x86_64-linux-gnu.2.17

# The ARM wheels: the interpreter hints of the build machine's Python do not
# apply, the toolchain asks the tree's interpreter under qemu-user.
for arch in armhf arm64; do
    source scripts/arm-arch.sh
    build_wheel "$arch" "$wheel_tags" "${cmake_defines[@]/#/-Ccmake.define.}" -C cmake.python-hints=false
done

mkdir -p dist
rm -f dist/"$package"-*.tar.gz dist/"$package"-*.whl
cp "$work"/dist/* dist/
git -C "$work/source" rev-parse HEAD > "$work/.commit"
say "built in $((SECONDS - started)) s: $(cd dist && echo "$package"-*)"
bash scripts/wheel-check.sh
