#!/usr/bin/env bash
# An ARM target system, for building and testing an ARM wheel: a Debian 13
# (trixie) tree of the architecture given (armhf or arm64, scripts/arm-arch.sh)
# in build/ARCH-root with CPython 3.13, its headers, pip and the test suite's
# packages, and a launcher that runs its interpreter under qemu-user,
# build/ARCH/python3.
#
#   scripts/arm-tree.sh armhf|arm64
#
# Installs with apt-get what the host lacks (qemu-user, mmdebstrap, the Debian
# archive keyring, the architecture's binutils). The tree is kept and reused;
# it is made again when the package list changes. Needs root, or sudo, for
# apt-get and mmdebstrap. DEBIAN_MIRROR names another Debian archive to make
# the tree from.
#
# Without binfmt_misc the host kernel cannot start an ARM program, so the
# interpreter runs through the launcher script, which is also its
# sys.executable: the interpreters that the tests start as subprocesses run
# under emulation the same way.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
arch=${1:-}
say() { echo "== $arch: $*"; }
fail() { echo "$arch: $*" >&2; exit 1; }
source scripts/arm-arch.sh
suite=trixie
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
# The interpreter with its headers (to build against), pip (to install the
# wheel) and what the wheel and the test suite import. No C++ runtime: the
# wheel's modules carry their own.
packages=(python3 python3-dev python3-pip python3-redis python3-requests python3-aiohttp python3-tz
          python3-pytest python3-pytest-timeout python3-hypothesis "${tree_packages[@]}")

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# --- host tools ---------------------------------------------------------------
need=()
command -v "$qemu" >/dev/null 2>&1 || command -v "$qemu-static" >/dev/null 2>&1 || need+=(qemu-user)
command -v mmdebstrap >/dev/null 2>&1 || need+=(mmdebstrap)
# readelf for the ELF checks; the target's binutils strip the debug
# information from the wheel's modules (and disassemble the 32-bit ARM ones
# for their check).
command -v readelf >/dev/null 2>&1 || need+=(binutils)
command -v "$triplet-objdump" >/dev/null 2>&1 && command -v "$triplet-strip" >/dev/null 2>&1 \
    || need+=("binutils-$triplet")
[ -e /usr/share/keyrings/debian-archive-$suite-stable.gpg ] || need+=(debian-archive-keyring)
if [ ${#need[@]} -gt 0 ]; then
    say "installing ${need[*]} with apt-get"
    as_root apt-get update -qq >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
[ -e /usr/share/keyrings/debian-archive-$suite-stable.gpg ] \
    || fail "this host's debian-archive-keyring has no key for Debian $suite"
qemu_path=$(command -v "$qemu" || command -v "$qemu-static")

# --- the tree -------------------------------------------------------------------
# Only extracted (no maintainer scripts run, so no emulation is needed to make
# it); the few things those scripts or base-files would have done for running
# programs from it are done here.
stamp="$suite $arch ${packages[*]}"
if [ "$(cat "$root/.tree-stamp" 2>/dev/null)" != "$stamp" ]; then
    say "making the Debian $suite $arch tree in ${root#"$repo"/}"
    as_root rm -rf "$root" "$root.new"
    as_root mmdebstrap --quiet --variant=extract --architectures="$arch" \
        --include="$(IFS=,; echo "${packages[*]}")" "$suite" "$root.new" "$mirror"
    [ "$(id -u)" = 0 ] || as_root chown -R "$(id -u):$(id -g)" "$root.new"
    # The merged /usr links (the ELF interpreter is /lib/ld-linux-armhf.so.3
    # or /lib/ld-linux-aarch64.so.1).
    for d in bin sbin lib; do [ -e "$root.new/$d" ] || ln -s "usr/$d" "$root.new/$d"; done
    # Absolute links would be followed into the host's own tree: make them relative.
    find "$root.new" -path "$root.new/dev" -prune -o -type l -lname '/*' -print | while read -r link; do
        ln -sfn "$(realpath -ms --relative-to="$(dirname "$link")" "$root.new$(readlink "$link")")" "$link"
    done
    mv "$root.new" "$root"
fi
[ -x "$root/usr/bin/python3.13" ] || fail "the tree has no python3.13"

mkdir -p "$(dirname "$launcher")"
cat > "$launcher.new" <<LAUNCHER
#!/bin/sh
# The $arch python3.13 of ${root#"$repo"/} under $qemu (made by scripts/arm-tree.sh).
# It is its own sys.executable, so subprocess interpreters start the same way.
# In a virtual environment of the tree, TREE_VIRTUAL_ENV names it.
export QEMU_LD_PREFIX='$root'${qemu_cpu:+ QEMU_CPU='$qemu_cpu'}
if [ -n "\${TREE_VIRTUAL_ENV:-}" ]; then
    exec '$qemu_path' -0 "\$0" "\$TREE_VIRTUAL_ENV/bin/python3" "\$@"
fi
export PYTHONHOME='$root/usr'
exec '$qemu_path' -0 "\$0" '$root/usr/bin/python3.13' "\$@"
LAUNCHER
chmod +x "$launcher.new"
mv "$launcher.new" "$launcher"
if [ ! -f "$root/.tree-stamp" ]; then
    # What the packages' maintainer scripts would have done: compile the
    # Python sources once, else every emulated interpreter compiles what it
    # imports again at each start (slowly; the environment may also forbid
    # writing the compiled files, PYTHONDONTWRITEBYTECODE).
    say "compiling the tree's Python modules"
    PYTHONDONTWRITEBYTECODE= "$launcher" -m compileall -q -j0 \
        "$root/usr/lib/python3.13" "$root/usr/lib/python3/dist-packages" >/dev/null 2>&1 || true
    echo "$stamp" > "$root/.tree-stamp"
fi
say "$("$launcher" -c 'import platform, sys; print(sys.version.split()[0], platform.machine(), sys.maxsize.bit_length() + 1, "bit")') in ${root#"$repo"/}"
