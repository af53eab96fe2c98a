# SPDX-License-Identifier: MIT
# A second target root beside RERAZERA_SYSROOT, for the libraries the
# cross toolchain's sysroot lacks (libsodium for librerazera-sign and the
# tool, the CMake files of CLI11 and nlohmann/json); .ci/target-root makes
# one from Debian's packages for the target:
#   .ci/target-root arm64 build-aarch64/target-root
#   cmake ... -DRERAZERA_TARGET_ROOT=$PWD/build-aarch64/target-root
# Included by the toolchain files after they set RERAZERA_TRIPLET,
# CMAKE_FIND_ROOT_PATH and CMAKE_CROSSCOMPILING_EMULATOR. Empty (the
# default), it changes nothing: a Yocto or Buildroot sysroot has everything
# in RERAZERA_SYSROOT already.
set(RERAZERA_TARGET_ROOT "" CACHE PATH "Extra target root with libraries the sysroot lacks")
# try_compile projects read the toolchain file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RERAZERA_SYSROOT RERAZERA_TARGET_ROOT)
if(NOT RERAZERA_TARGET_ROOT)
  return()
endif()

# Headers, libraries and CMake packages: looked for under both roots.
list(APPEND CMAKE_FIND_ROOT_PATH ${RERAZERA_TARGET_ROOT})

# pkg-config (FindPkgConfig runs the host's) reads the target's .pc files
# only, and puts the root in front of the directories they name.
set(ENV{PKG_CONFIG_LIBDIR}
    "${RERAZERA_TARGET_ROOT}/usr/lib/${RERAZERA_TRIPLET}/pkgconfig:${RERAZERA_TARGET_ROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${RERAZERA_TARGET_ROOT})
unset(ENV{PKG_CONFIG_PATH})

# The libraries' own dependencies are resolved there when linking, and
# found there by the target's dynamic loader under the emulator (qemu's -L
# takes only the one root, the sysroot).
set(rerazera_target_libdirs
    ${RERAZERA_TARGET_ROOT}/usr/lib/${RERAZERA_TRIPLET} ${RERAZERA_TARGET_ROOT}/lib/${RERAZERA_TRIPLET})
set(rerazera_rpath_link "")
foreach(libdir IN LISTS rerazera_target_libdirs)
  string(APPEND rerazera_rpath_link " -Wl,-rpath-link,${libdir}")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${rerazera_rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${rerazera_rpath_link}")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN rerazera_target_libdirs ":" rerazera_ld_path)
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_LIBRARY_PATH=${rerazera_ld_path})
endif()
