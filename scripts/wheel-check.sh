#!/usr/bin/env bash
# Checks the sdist and the three wheels in dist/ (or the directory given):
# contents, the C library as their only need (and the unwinder libgcc_s for
# 32-bit ARM; no glibc symbol newer than the wheel's floor), the manylinux tags of the x86_64 and aarch64 wheels with
# auditwheel, and the 32-bit ARM objects with readelf -A and their
# disassembly. scripts/wheel_check.py says what exactly.
#
#   scripts/wheel-check.sh [directory]
#
# Uses the tools that scripts/wheels.sh installs (build/wheel-tools, and
# binutils-arm-linux-gnueabihf for the ARM disassembly).
set -euo pipefail
cd "$(dirname "$0")/.."
tools=$PWD/build/wheel-tools
[ -x "$tools/bin/auditwheel" ] || { echo "wheel-check: no tools in build/wheel-tools: run 'make wheels' first" >&2; exit 1; }
command -v arm-linux-gnueabihf-objdump >/dev/null 2>&1 \
    || { echo "wheel-check: needs arm-linux-gnueabihf-objdump (binutils-arm-linux-gnueabihf; scripts/arm-tree.sh installs it)" >&2; exit 1; }
PATH="$tools/bin:$PATH" "$tools/bin/python" scripts/wheel_check.py "${1:-dist}"
