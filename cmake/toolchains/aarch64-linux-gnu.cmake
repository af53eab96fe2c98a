# SPDX-License-Identifier: MIT
# Cross compiling for aarch64-linux-gnu with Debian's cross compilers
# (crossbuild-essential-arm64). Programs the build makes run under qemu-user,
# for the tests and for anything the build itself would run:
#   cmake -S . -B build-aarch64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
# For another sysroot (Yocto's SDK, Buildroot's output/host), set
# RERAZERA_SYSROOT, or use the toolchain file that SDK provides and set only
# CMAKE_CROSSCOMPILING_EMULATOR; see docs/building.md. With Debian's cross
# compilers, libsodium and the tool's header-only libraries come from a
# second root, RERAZERA_TARGET_ROOT, that .ci/target-root makes.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(RERAZERA_TRIPLET aarch64-linux-gnu)
# Compilers given on the command line (another toolchain's) are kept.
if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER ${RERAZERA_TRIPLET}-gcc)
endif()
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${RERAZERA_TRIPLET}-g++)
endif()

set(RERAZERA_SYSROOT /usr/${RERAZERA_TRIPLET} CACHE PATH "Target root: libraries and headers")
set(CMAKE_FIND_ROOT_PATH ${RERAZERA_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator's dynamic loader at the target's libraries; the CPU
# model "max" has every extension a kernel here can use (PMULL among them).
set(RERAZERA_QEMU_CPU max CACHE STRING "CPU model qemu-user emulates for the tests")
find_program(RERAZERA_QEMU NAMES qemu-aarch64-static qemu-aarch64)
if(RERAZERA_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RERAZERA_QEMU};-cpu;${RERAZERA_QEMU_CPU};-L;${RERAZERA_SYSROOT})
endif()

# RERAZERA_TARGET_ROOT: the libraries the sysroot lacks (.ci/target-root).
include(${CMAKE_CURRENT_LIST_DIR}/target-root.cmake)
