# Cross-compiling the modules for 32-bit ARM Linux, hard-float, with Debian's
# armhf cross toolchain (crossbuild-essential-armhf), against the CPython of a
# Debian armhf tree (scripts/armhf.sh makes one).
#
#   cmake -S . -B build/armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
#         -DARMHF_ROOT=$PWD/build/armhf-root -DCMAKE_POLICY_DEFAULT_CMP0190=NEW
#
# Our own code is compiled for ARMv6 with VFP, in ARM (not Thumb) mode, so that
# nothing of ours needs ARMv7, although Debian's armhf baseline is ARMv7 (the
# interpreter and the C++ runtime the modules load into are the target
# system's own). The target interpreter runs under qemu-arm for the few
# questions CMake asks it (version, extension suffix, include directory).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# The tree is needed again in try_compile projects, which see only the
# variables listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARMHF_ROOT)
if(NOT ARMHF_ROOT AND DEFINED ENV{ARMHF_ROOT})
    set(ARMHF_ROOT "$ENV{ARMHF_ROOT}")
endif()
if(NOT ARMHF_ROOT OR NOT EXISTS "${ARMHF_ROOT}/usr/bin/python3.13")
    message(FATAL_ERROR "ARMHF_ROOT must name a Debian armhf tree with python3.13 and python3.13-dev "
                        "(got '${ARMHF_ROOT}'); scripts/armhf.sh makes one")
endif()

# -march=armv6+fp: the ARMv6 instruction set with VFPv2; -marm: ARM, not Thumb,
# code (ARMv6 has only the 16-bit Thumb-1, which Debian's Thumb-2 default would
# exceed); -mfloat-abi=hard: floating-point arguments in VFP registers, as armhf does.
set(ARMHF_ARCH_FLAGS "-march=armv6+fp -mfpu=vfp -mfloat-abi=hard -marm")

# Debian's Python.h picks the multiarch pyconfig.h by including
# <arm-linux-gnueabihf/python3.13/pyconfig.h>. The tree's /usr/include also
# holds its own C library headers, which must not shadow the cross
# toolchain's, so only that one subdirectory is put on the include path,
# through a directory holding just a link to it.
set(_armhf_multiarch_include "${ARMHF_ROOT}/.multiarch-include")
file(GLOB _armhf_pyconfig_dirs LIST_DIRECTORIES true "${ARMHF_ROOT}/usr/include/arm-linux-gnueabihf/python3.*")
foreach(_dir IN LISTS _armhf_pyconfig_dirs)
    get_filename_component(_name "${_dir}" NAME)
    if(NOT EXISTS "${_armhf_multiarch_include}/arm-linux-gnueabihf/${_name}")
        file(MAKE_DIRECTORY "${_armhf_multiarch_include}/arm-linux-gnueabihf")
        file(CREATE_LINK "${_dir}" "${_armhf_multiarch_include}/arm-linux-gnueabihf/${_name}" SYMBOLIC)
    endif()
endforeach()

# -Wno-psabi: GCC notes on ARM that the passing of some argument types changed
# in GCC 7.1; everything the modules are linked with is newer.
set(CMAKE_C_FLAGS_INIT "${ARMHF_ARCH_FLAGS} -Wno-psabi -isystem ${_armhf_multiarch_include}")
set(CMAKE_CXX_FLAGS_INIT "${ARMHF_ARCH_FLAGS} -Wno-psabi -isystem ${_armhf_multiarch_include}")

# The toolchain's start files are ARMv7 Thumb-2 code (see armhf-startfiles.c):
# the modules are linked with our own, compiled here with the modules' flags.
get_property(_armhf_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _armhf_in_try_compile)
    set(_armhf_start "${CMAKE_BINARY_DIR}/armhf-startfiles.o")
    separate_arguments(_armhf_flags UNIX_COMMAND "${ARMHF_ARCH_FLAGS}")
    execute_process(COMMAND arm-linux-gnueabihf-gcc ${_armhf_flags} -fPIC -O2 -Wall -Wextra -Werror
                            -c "${CMAKE_CURRENT_LIST_DIR}/armhf-startfiles.c" -o "${_armhf_start}"
                    RESULT_VARIABLE _armhf_result)
    if(_armhf_result)
        message(FATAL_ERROR "Could not compile ${CMAKE_CURRENT_LIST_DIR}/armhf-startfiles.c")
    endif()
    set(CMAKE_MODULE_LINKER_FLAGS_INIT "-nostartfiles ${_armhf_start}")
    set(CMAKE_SHARED_LINKER_FLAGS_INIT "-nostartfiles ${_armhf_start}")
endif()

# Headers and libraries of the target come from the tree; programs that run
# during the build (ninja, the compilers) from the host.
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
if(NOT _armhf_in_try_compile AND (NOT CMAKE_POLICY_DEFAULT_CMP0190 STREQUAL "NEW" OR CMAKE_VERSION VERSION_LESS 4.1))
    message(FATAL_ERROR "Cross-building needs CMake 4.1 or later and -DCMAKE_POLICY_DEFAULT_CMP0190=NEW")
endif()
if(NOT Python_EXECUTABLE)
    set(Python_EXECUTABLE "${ARMHF_ROOT}/usr/bin/python3.13" CACHE FILEPATH "The target interpreter")
endif()
