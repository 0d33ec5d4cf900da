# The CPython 3.13 that the ARM modules are built against: that of a Debian
# tree of the target's architecture, TARGET_ROOT (scripts/arm-tree.sh makes
# one in build/armhf-root or build/arm64-root), asked through qemu-user.
# Included by zig-toolchain.cmake for a cross target, with
# CMAKE_LIBRARY_ARCHITECTURE (the multiarch name, arm-linux-gnueabihf or
# aarch64-linux-gnu) and TARGET_QEMU (the emulator's name) set.

if(NOT TARGET_ROOT OR NOT EXISTS "${TARGET_ROOT}/usr/bin/python3.13")
    message(FATAL_ERROR "TARGET_ROOT must name a Debian ${CMAKE_LIBRARY_ARCHITECTURE} tree with python3.13 "
                        "and python3.13-dev (got '${TARGET_ROOT}'); scripts/arm-tree.sh makes one")
endif()

# Debian's Python.h picks the multiarch pyconfig.h by including
# <MULTIARCH/python3.13/pyconfig.h>. The tree's /usr/include also holds its
# own C library headers, which must not shadow the compiler's (those of the
# glibc version of zig's target), so only that one subdirectory is put on the
# include path, through a directory holding just a link to it.
set(_target_multiarch "${CMAKE_LIBRARY_ARCHITECTURE}")
set(_target_multiarch_include "${TARGET_ROOT}/.multiarch-include")
file(GLOB _target_pyconfig_dirs LIST_DIRECTORIES true "${TARGET_ROOT}/usr/include/${_target_multiarch}/python3.*")
foreach(_dir IN LISTS _target_pyconfig_dirs)
    get_filename_component(_name "${_dir}" NAME)
    if(NOT EXISTS "${_target_multiarch_include}/${_target_multiarch}/${_name}")
        file(MAKE_DIRECTORY "${_target_multiarch_include}/${_target_multiarch}")
        file(CREATE_LINK "${_dir}" "${_target_multiarch_include}/${_target_multiarch}/${_name}" SYMBOLIC)
    endif()
endforeach()
string(APPEND CMAKE_C_FLAGS_INIT " -isystem ${_target_multiarch_include}")
string(APPEND CMAKE_CXX_FLAGS_INIT " -isystem ${_target_multiarch_include}")

# Headers of the target come from the tree; programs that run during the build
# from the host.
set(CMAKE_FIND_ROOT_PATH "${TARGET_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindPython asks the target interpreter through this emulator (policy
# CMP0190, CMake 4.1 and later): the version, include directory and
# extension suffix it reports are the target's (cpython-313-arm-linux-gnueabihf,
# cpython-313-aarch64-linux-gnu).
find_program(TARGET_EMULATOR NAMES ${TARGET_QEMU} ${TARGET_QEMU}-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${TARGET_EMULATOR}" -L "${TARGET_ROOT}")
# The policy must be set from the command line: a toolchain file is read too
# late for a policy default to reach the project's find_package.
get_property(_target_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _target_in_try_compile AND (NOT CMAKE_POLICY_DEFAULT_CMP0190 STREQUAL "NEW" OR CMAKE_VERSION VERSION_LESS 4.1))
    message(FATAL_ERROR "Cross-building needs CMake 4.1 or later and -DCMAKE_POLICY_DEFAULT_CMP0190=NEW")
endif()
if(NOT Python_EXECUTABLE)
    set(Python_EXECUTABLE "${TARGET_ROOT}/usr/bin/python3.13" CACHE FILEPATH "The target interpreter")
endif()
