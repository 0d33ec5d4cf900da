# Building the release wheels with zig's C/C++ compiler (the `ziglang`
# package from PyPI), for a target named by ZIG_TARGET and ZIG_CPU:
#
#   x86_64:  -DZIG_TARGET=x86_64-linux-gnu.2.17
#   32-bit ARM, hard-float, ARMv6 with VFP:
#            -DZIG_TARGET=arm-linux-gnueabihf.2.28 -DZIG_CPU=arm1136jf_s -DARMHF_ROOT=...
#
# scripts/wheels.sh passes these. Why zig: it links against a stub of the
# glibc version named in the target, so no symbol newer than that
# can slip in whatever the build machine's C library is; and it compiles its
# C++ runtime (libc++, libc++abi, libunwind, compiler-rt) from source for the
# exact target and CPU, then links it statically. The modules then need only
# the C library on the target, and on ARM every byte of runtime code is ARMv6
# code, which no Debian armhf package would give (those are ARMv7 Thumb-2).
#
# ZIG names the zig executable; ZIG_CACHE_DIR holds zig's caches (the built
# C++ runtimes: a few minutes to make, reused afterwards) and the compiler
# launchers written below.

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG ZIG_TARGET ZIG_CPU ZIG_CACHE_DIR ARMHF_ROOT)
foreach(_var ZIG ZIG_TARGET ZIG_CPU ZIG_CACHE_DIR ARMHF_ROOT)
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
# `cmake --install --strip` (scikit-build-core's default) drops only the debug
# information (zig's runtime libraries bring plenty), not the symbol table: it
# names the functions in a backtrace, and on ARM its mapping symbols are what
# shows that no stretch of Thumb code is in a module. zig's objcopy cannot
# edit 32-bit ARM objects, so binutils does it (the host's, or that of the
# ARM cross binutils).
if(ZIG_TARGET MATCHES "^arm-linux-gnueabihf")
    find_program(ZIG_HOST_STRIP NAMES arm-linux-gnueabihf-strip REQUIRED)
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

if(ZIG_TARGET MATCHES "^arm-linux-gnueabihf")
    set(CMAKE_SYSTEM_NAME Linux)
    set(CMAKE_SYSTEM_PROCESSOR arm)
    set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
    include("${CMAKE_CURRENT_LIST_DIR}/armhf-python.cmake")
endif()
