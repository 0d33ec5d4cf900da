# Sourced by the ARM scripts (arm-tree.sh, arm-test.sh, wheels.sh) with $arch
# set to a Debian architecture name and $repo to the repository: sets what
# differs between the two ARM targets, or fails through the caller's `fail`.
#
#   armhf   32-bit ARM, hard-float; ARMv6 with VFPv2, ARM mode (arm1136jf_s:
#           the plain ARMv6 core with VFPv2, no v6K, so the code runs on every
#           ARMv6 or later core with VFP; zig's arm-linux-gnueabihf is ARM,
#           not Thumb, code with the hard-float calling convention); glibc
#           2.28; tagged linux_armv6l and linux_armv7l
#   arm64   64-bit ARM (aarch64, ARMv8-A); glibc 2.17, the first glibc for
#           aarch64; tagged manylinux_2_17 / manylinux2014
#
# Sets: triplet (the multiarch name: binutils prefix, include directory),
# qemu (qemu-user's emulator for it) and qemu_cpu (the core it emulates, empty
# for its default), cmake_defines (the settings of
# cmake/zig-toolchain.cmake for it, NAME=VALUE), wheel_tags (scikit-build-core's
# wheel.tags), wheel_glob (its wheel in dist/), pip_platforms (the platforms
# whose pip must accept that wheel), tree_packages (what the Debian tree holds
# beyond the common list), root (the tree) and launcher (its interpreter
# under emulation).
case ${arch:-} in
    armhf)
        triplet=arm-linux-gnueabihf qemu=qemu-arm qemu_cpu=
        zig_target=arm-linux-gnueabihf.2.28 zig_cpu=arm1136jf_s
        wheel_tags="cp313-cp313-linux_armv6l;cp313-cp313-linux_armv7l"
        wheel_glob="*-linux_armv6l.linux_armv7l.whl"
        # The emulated system reports itself as armv7l; an ARMv6 board as armv6l.
        pip_platforms=(linux_armv6l linux_armv7l)
        tree_packages=()
        ;;
    arm64)
        # qemu's default core emulates pointer authentication, which Debian's
        # arm64 programs use at every call, about ten times slower than the
        # rest; the Cortex-A72 (ARMv8.0-A, the baseline the wheel is for) has
        # none, and its hint-space instructions run as no-ops.
        triplet=aarch64-linux-gnu qemu=qemu-aarch64 qemu_cpu=cortex-a72
        zig_target=aarch64-linux-gnu.2.17 zig_cpu=
        wheel_tags="cp313-cp313-manylinux_2_17_aarch64;cp313-cp313-manylinux2014_aarch64"
        wheel_glob="*-manylinux_2_17_aarch64.manylinux2014_aarch64.whl"
        # The oldest system the tag admits (glibc 2.17).
        pip_platforms=(manylinux2014_aarch64)
        # For the tests that run the asynchronous classes on uvloop's loop.
        tree_packages=(python3-uvloop)
        ;;
    *)
        fail "unknown architecture '${arch:-}' (armhf or arm64)"
        ;;
esac
root=$repo/build/$arch-root
launcher=$repo/build/$arch/python3
cmake_defines=(ZIG_TARGET="$zig_target" ZIG_CPU="$zig_cpu" TARGET_ROOT="$root"
               CMAKE_POLICY_DEFAULT_CMP0190=NEW)
