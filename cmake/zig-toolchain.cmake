# Building the release wheels with zig's C/C++ compiler (the `ziglang`
# package from PyPI), for a target named by ZIG_TARGET and ZIG_CPU:
#
#   x86_64:  -DZIG_TARGET=x86_64-linux-gnu.2.17
#   32-bit ARM, hard-float, ARMv6 with VFP:
#            -DZIG_TARGET=arm-linux-gnueabihf.2.28 -DZIG_CPU=arm1136jf_s -DTARGET_ROOT=...
#   64-bit ARM:
#            -DZIG_TARGET=aarch64-linux-gnu.2.17 -DTARGET_ROOT=...
#
# scripts/wheels.sh passes these (scripts/arm-arch.sh holds those of the ARM
# targets). Why zig: it links against a stub of the glibc version named in
# the target, so no symbol newer than that can slip in whatever the build
# machine's C library is; and it compiles its C++ runtime (libc++, libc++abi,
# libunwind, compiler-rt) from source for the exact target and CPU, then
# links it statically (on 32-bit ARM all but the unwinder: see below). The
# modules then need only the C library on the target, and on 32-bit ARM every byte of runtime code is ARMv6 code, which no
# Debian armhf package would give (those are ARMv7 Thumb-2).
#
# ZIG names the zig executable; ZIG_CACHE_DIR holds zig's caches (the built
# C++ runtimes: a few minutes to make, reused afterwards) and the compiler
# launchers written below.

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG ZIG_TARGET ZIG_CPU ZIG_CACHE_DIR TARGET_ROOT)
foreach(_var ZIG ZIG_TARGET ZIG_CPU ZIG_CACHE_DIR TARGET_ROOT)
    if(NOT ${_var} AND DEFINED ENV{${_var}})
        set(${_var} "$ENV{${_var}}")
    endif()
endforeach()
if(NOT ZIG OR NOT ZIG_TARGET OR NOT ZIG_CACHE_DIR)
    message(FATAL_ERROR "zig-toolchain.cmake needs ZIG, ZIG_TARGET and ZIG_CACHE_DIR (scripts/wheels.sh sets them)")
endif()

# CMake wants one program per tool: small launchers that call `zig cc`,
# `zig c++`, `zig ar` and `zig ranlib` with the target, the CPU and the caches.
set(_zig_cpu_flag "")
if(ZIG_CPU)
    set(_zig_cpu_flag "-mcpu=${ZIG_CPU}")
endif()
set(_zig_bin "${ZIG_CACHE_DIR}/bin/${ZIG_TARGET}-${ZIG_CPU}")
foreach(_tool cc c++ ar ranlib)
    if(_tool STREQUAL "cc" OR _tool STREQUAL "c++")
        set(_args "${_tool} -target ${ZIG_TARGET} ${_zig_cpu_flag}")
    else()
        set(_args "${_tool}")
    endif()
    set(_script "#!/bin/sh\n# Made by cmake/zig-toolchain.cmake.\n"
                "export ZIG_GLOBAL_CACHE_DIR='${ZIG_CACHE_DIR}/global' ZIG_LOCAL_CACHE_DIR='${ZIG_CACHE_DIR}/local'\n"
                "exec '${ZIG}' ${_args} \"$@\"\n")
    string(CONCAT _script ${_script})
    set(_old "")
    if(EXISTS "${_zig_bin}/${_tool}")
        file(READ "${_zig_bin}/${_tool}" _old)
    endif()
    if(NOT _old STREQUAL _script)
        file(WRITE "${_zig_bin}/${_tool}" "${_script}")
        file(CHMOD "${_zig_bin}/${_tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
             GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
endforeach()
# The ARM targets are cross builds: their multiarch name, processor and the
# emulator that runs their interpreter (cmake/target-python.cmake).
if(ZIG_TARGET MATCHES "^arm-linux-gnueabihf")
    set(_zig_cross arm-linux-gnueabihf arm qemu-arm)
elseif(ZIG_TARGET MATCHES "^aarch64-linux-gnu")
    set(_zig_cross aarch64-linux-gnu aarch64 qemu-aarch64)
else()
    set(_zig_cross "")
endif()

# `cmake --install --strip` (scikit-build-core's default) drops only the debug
# information (zig's runtime libraries bring plenty), not the symbol table: it
# names the functions in a backtrace, and on 32-bit ARM its mapping symbols
# are what shows that no stretch of Thumb code is in a module. zig's objcopy
# cannot edit 32-bit ARM objects and the host's binutils know only its own, so
# binutils for the target does it (the host's for x86_64, the cross binutils
# of the ARM targets).
if(_zig_cross)
    list(GET _zig_cross 0 _zig_triplet)
    find_program(ZIG_HOST_STRIP NAMES ${_zig_triplet}-strip REQUIRED)
else()
    find_program(ZIG_HOST_STRIP NAMES strip REQUIRED)
endif()
set(_script "#!/bin/sh\n# Made by cmake/zig-toolchain.cmake: strips the debug information only.\n"
            "exec '${ZIG_HOST_STRIP}' --strip-debug \"$@\"\n")
string(CONCAT _script ${_script})
file(WRITE "${_zig_bin}/strip" "${_script}")
file(CHMOD "${_zig_bin}/strip" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_STRIP "${_zig_bin}/strip" CACHE FILEPATH "strip --strip-debug" FORCE)

set(CMAKE_C_COMPILER "${_zig_bin}/cc")
set(CMAKE_CXX_COMPILER "${_zig_bin}/c++")
set(CMAKE_AR "${_zig_bin}/ar" CACHE FILEPATH "zig ar")
set(CMAKE_RANLIB "${_zig_bin}/ranlib" CACHE FILEPATH "zig ranlib")

# 32-bit ARM: the modules take the stack unwinder from the target's
# libgcc_s.so.1 rather than zig's libunwind. glibc ends a thread (CPython's
# daemon threads at exit) with libgcc_s's unwinder, and on 32-bit ARM the
# frame's personality routine must step over the frame with that same
# unwinder (src/binding/thread_end.cpp); the two unwinders' states differ.
# Named on the link line of each module (not of the executables CMake's own
# checks link: the tree's libgcc_s needs the tree's newer glibc), it provides
# every unwinder function before zig adds its own runtime, so no part of
# libunwind is linked. Every glibc system has it (glibc itself loads it to
# end threads).
if(ZIG_TARGET MATCHES "^arm-linux-gnueabihf")
    set(_unwinder "${TARGET_ROOT}/lib/arm-linux-gnueabihf/libgcc_s.so.1")
    if(NOT TARGET_ROOT OR NOT EXISTS "${_unwinder}")
        message(FATAL_ERROR "zig-toolchain.cmake needs the target's libgcc_s.so.1 in TARGET_ROOT/lib/arm-linux-gnueabihf")
    endif()
    set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_unwinder}")
    set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_unwinder}")
endif()

if(_zig_cross)
    set(CMAKE_SYSTEM_NAME Linux)
    list(GET _zig_cross 1 CMAKE_SYSTEM_PROCESSOR)
    list(GET _zig_cross 0 CMAKE_LIBRARY_ARCHITECTURE)
    list(GET _zig_cross 2 TARGET_QEMU)
    include("${CMAKE_CURRENT_LIST_DIR}/target-python.cmake")
endif()
