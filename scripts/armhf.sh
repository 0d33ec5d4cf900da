#!/usr/bin/env bash
# 32-bit ARM: cross-builds the modules for ARM Linux hard-float (ARMv6 with
# VFP, ARM mode), checks the objects with readelf, and runs the test suite on
# a Debian 13 (trixie) armhf tree under qemu-arm. The Redis servers that the
# tests start run natively on 127.0.0.1.
#
#   scripts/armhf.sh [pytest arguments]       (default: the whole suite)
#
# From nothing it installs with apt-get what it lacks (the armhf cross
# toolchain, qemu-user, mmdebstrap, the Debian archive keyring, redis-server,
# python3-venv), makes the armhf tree in build/armhf-root (kept and reused;
# made again when the package list below changes), a small virtual
# environment with CMake and Ninja for the host in build/armhf-tools, and
# builds in build/armhf. Needs root, or sudo, for apt-get and mmdebstrap.
# ARMHF_MIRROR names another Debian archive to make the tree from.
#
# Without binfmt_misc the host kernel cannot start an ARM program, so the
# interpreter runs through a launcher script, build/armhf/python3, which is
# also its sys.executable: the interpreters that the tests start as
# subprocesses run under qemu-arm the same way.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
root=$repo/build/armhf-root
build=$repo/build/armhf
tools=$repo/build/armhf-tools
suite=trixie
mirror=${ARMHF_MIRROR:-http://deb.debian.org/debian}
# The interpreter with its headers, the C++ runtime the modules link against,
# and what the test suite imports.
packages=(python3 python3-dev libstdc++6 python3-redis python3-requests python3-aiohttp python3-tz
          python3-pytest python3-pytest-timeout python3-hypothesis)
triplet=arm-linux-gnueabihf
started=$SECONDS

say() { echo "== armhf: $*"; }
fail() { echo "armhf: $*" >&2; exit 1; }
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# --- host tools ---------------------------------------------------------------
need=()
command -v $triplet-g++ >/dev/null 2>&1 && command -v $triplet-readelf >/dev/null 2>&1 \
    || need+=(crossbuild-essential-armhf)
command -v qemu-arm >/dev/null 2>&1 || command -v qemu-arm-static >/dev/null 2>&1 || need+=(qemu-user)
command -v mmdebstrap >/dev/null 2>&1 || need+=(mmdebstrap)
command -v redis-server >/dev/null 2>&1 || need+=(redis-server)
python3 -c 'import ensurepip, venv' >/dev/null 2>&1 || need+=(python3-venv)
[ -e /usr/share/keyrings/debian-archive-$suite-stable.gpg ] || need+=(debian-archive-keyring)
if [ ${#need[@]} -gt 0 ]; then
    say "installing ${need[*]} with apt-get"
    as_root apt-get update -qq >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    if [[ " ${need[*]} " == *" redis-server "* ]]; then
        # The package starts a system-wide server; the tests run their own.
        (as_root service redis-server stop || as_root systemctl stop redis-server) >/dev/null 2>&1 || true
    fi
fi
[ -e /usr/share/keyrings/debian-archive-$suite-stable.gpg ] \
    || fail "this host's debian-archive-keyring has no key for Debian $suite"
qemu=$(command -v qemu-arm || command -v qemu-arm-static)

if [ ! -x "$tools/bin/cmake" ] || [ ! -x "$tools/bin/ninja" ]; then
    say "CMake and Ninja for the host in ${tools#"$repo"/}"
    rm -rf "$tools"
    python3 -m venv "$tools"
    "$tools/bin/python" -m pip install -q 'cmake>=4.1' 'ninja>=1.11'
fi

# --- the armhf tree -------------------------------------------------------------
# Only extracted (no maintainer scripts run, so no emulation is needed to make
# it); the few things those scripts or base-files would have done for running
# programs from it are done here.
stamp="$suite ${packages[*]}"
if [ "$(cat "$root/.armhf-stamp" 2>/dev/null)" != "$stamp" ]; then
    say "making the Debian $suite armhf tree in ${root#"$repo"/}"
    # The build's configuration refers to the tree: it goes with it.
    as_root rm -rf "$root" "$root.new" "$build"
    as_root mmdebstrap --quiet --variant=extract --architectures=armhf \
        --include="$(IFS=,; echo "${packages[*]}")" "$suite" "$root.new" "$mirror"
    [ "$(id -u)" = 0 ] || as_root chown -R "$(id -u):$(id -g)" "$root.new"
    # The merged /usr links (the ELF interpreter is /lib/ld-linux-armhf.so.3).
    for d in bin sbin lib; do [ -e "$root.new/$d" ] || ln -s "usr/$d" "$root.new/$d"; done
    # Absolute links would be followed into the host's own tree: make them relative.
    find "$root.new" -path "$root.new/dev" -prune -o -type l -lname '/*' -print | while read -r link; do
        ln -sfn "$(realpath -ms --relative-to="$(dirname "$link")" "$root.new$(readlink "$link")")" "$link"
    done
    mv "$root.new" "$root"
fi
[ -x "$root/usr/bin/python3.13" ] || fail "the tree has no python3.13"

mkdir -p "$build"
cat > "$build/python3" <<EOF
#!/bin/sh
# The armhf python3.13 of build/armhf-root under qemu-arm (made by scripts/armhf.sh).
# It is its own sys.executable, so subprocess interpreters start the same way.
export QEMU_LD_PREFIX='$root' PYTHONHOME='$root/usr'
exec '$qemu' -0 "\$0" '$root/usr/bin/python3.13' "\$@"
EOF
chmod +x "$build/python3"
if [ ! -f "$root/.armhf-stamp" ]; then
    # What the packages' maintainer scripts would have done: compile the
    # Python sources once, else every emulated interpreter compiles what it
    # imports again at each start (slowly; the environment may also forbid
    # writing the compiled files, PYTHONDONTWRITEBYTECODE).
    say "compiling the tree's Python modules"
    PYTHONDONTWRITEBYTECODE= "$build/python3" -m compileall -q -j0 \
        "$root/usr/lib/python3.13" "$root/usr/lib/python3/dist-packages" >/dev/null 2>&1 || true
    echo "$stamp" > "$root/.armhf-stamp"
fi

# --- cross-build -----------------------------------------------------------------
say "cross-building in ${build#"$repo"/}"
if [ ! -f "$build/build.ninja" ]; then
    "$tools/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/armhf-toolchain.cmake" -DARMHF_ROOT="$root" \
        -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DVPC_TEST_PROBE=ON -DCMAKE_BUILD_TYPE=Release \
        > "$repo/build/armhf-configure.log" 2>&1 \
        || { cat "$repo/build/armhf-configure.log"; fail "configuring failed"; }
fi
"$tools/bin/cmake" --build "$build"

# --- ARMv6, VFP, ARM mode ----------------------------------------------------------
# Every object of ours and every module must be tagged ARMv6 (not v6K, v6T2 or
# v7), ARM instruction set, VFPv2, hard-float calling convention, and hold no
# Thumb code (no $t mapping symbol).
check_elf() {
    local file=$1 attrs thumb
    attrs=$($triplet-readelf -A "$file")
    for tag in 'Tag_CPU_arch: v6' 'Tag_ARM_ISA_use: Yes' 'Tag_FP_arch: VFPv2' 'Tag_ABI_VFP_args: VFP registers'; do
        grep -qx "  $tag" <<<"$attrs" || fail "${file#"$repo"/}: '$tag' expected; readelf -A says:
$attrs"
    done
    thumb=$($triplet-readelf -sW "$file" | awk '$8 ~ /^\$t($|\.)/' | wc -l)
    [ "$thumb" = 0 ] || fail "${file#"$repo"/}: $thumb stretches of Thumb code"
}
objects=$(find "$build" -name '*.o' -not -path '*/CMakeScratch/*' -not -path '*/CompilerId*')
modules=$(find "$build/veltrano_python_configuration" -name '*.so')
for f in $objects $modules; do check_elf "$f"; done
for m in journal_setup cache_access service_toolkit broker_setup _glue_probe; do
    f=$build/veltrano_python_configuration/$m.cpython-313-$triplet.so
    [ -f "$f" ] || fail "${f#"$repo"/} was not built"
    $triplet-readelf -SW "$f" | grep -q '\.symtab' \
        || fail "${f#"$repo"/} is stripped: its code cannot be checked for Thumb stretches"
done
say "$(wc -w <<<"$objects") objects and $(wc -w <<<"$modules") modules: ARMv6, VFPv2, ARM mode, hard-float"

# --- the test suite under qemu-arm ---------------------------------------------------
say "$("$build/python3" -c 'import platform, sys; print(sys.version.split()[0], platform.machine(), sys.maxsize.bit_length() + 1, "bit")')"
say "running the tests under qemu-arm"
status=0
PYTHONPATH="$build" "$build/python3" -m pytest -p no:cacheprovider "$@" || status=$?
say "finished in $((SECONDS - started)) s"
exit $status
