# The CPython 3.13 that the 32-bit ARM modules are built against: that of a
# Debian armhf tree (scripts/armhf-tree.sh makes one in build/armhf-root),
# asked through qemu-arm. Included by zig-toolchain.cmake for the ARM target.

if(NOT ARMHF_ROOT OR NOT EXISTS "${ARMHF_ROOT}/usr/bin/python3.13")
    message(FATAL_ERROR "ARMHF_ROOT must name a Debian armhf tree with python3.13 and python3.13-dev "
                        "(got '${ARMHF_ROOT}'); scripts/armhf-tree.sh makes one")
endif()

# Debian's Python.h picks the multiarch pyconfig.h by including
# <arm-linux-gnueabihf/python3.13/pyconfig.h>. The tree's /usr/include also
# holds its own C library headers, which must not shadow the compiler's
# (those of glibc 2.28), so only that one subdirectory is put on the include
# path, through a directory holding just a link to it.
set(_armhf_multiarch_include "${ARMHF_ROOT}/.multiarch-include")
file(GLOB _armhf_pyconfig_dirs LIST_DIRECTORIES true "${ARMHF_ROOT}/usr/include/arm-linux-gnueabihf/python3.*")
foreach(_dir IN LISTS _armhf_pyconfig_dirs)
    get_filename_component(_name "${_dir}" NAME)
    if(NOT EXISTS "${_armhf_multiarch_include}/arm-linux-gnueabihf/${_name}")
        file(MAKE_DIRECTORY "${_armhf_multiarch_include}/arm-linux-gnueabihf")
        file(CREATE_LINK "${_dir}" "${_armhf_multiarch_include}/arm-linux-gnueabihf/${_name}" SYMBOLIC)
    endif()
endforeach()
string(APPEND CMAKE_C_FLAGS_INIT " -isystem ${_armhf_multiarch_include}")
string(APPEND CMAKE_CXX_FLAGS_INIT " -isystem ${_armhf_multiarch_include}")

# Headers of the target come from the tree; programs that run during the build
# from the host.
set(CMAKE_FIND_ROOT_PATH "${ARMHF_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindPython asks the target interpreter through this emulator (policy
# CMP0190, CMake 4.1 and later): the version, include directory and
# extension suffix it reports are the target's (cpython-313-arm-linux-gnueabihf).
find_program(ARMHF_QEMU NAMES qemu-arm qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${ARMHF_QEMU}" -L "${ARMHF_ROOT}")
# The policy must be set from the command line: a toolchain file is read too
# late for a policy default to reach the project's find_package.
get_property(_armhf_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _armhf_in_try_compile AND (NOT CMAKE_POLICY_DEFAULT_CMP0190 STREQUAL "NEW" OR CMAKE_VERSION VERSION_LESS 4.1))
    message(FATAL_ERROR "Cross-building needs CMake 4.1 or later and -DCMAKE_POLICY_DEFAULT_CMP0190=NEW")
endif()
if(NOT Python_EXECUTABLE)
    set(Python_EXECUTABLE "${ARMHF_ROOT}/usr/bin/python3.13" CACHE FILEPATH "The target interpreter")
endif()
