# Debian package of the library, its header, its CMake and pkg-config files
# and the command-line tool: `cpack -G DEB` in a build tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr (which also gives the multiarch library
# directory). The package installs under the configured prefix, so its
# pkg-config file and its contents always agree.
set(CPACK_PACKAGE_NAME rerazera)
set(CPACK_PACKAGE_VENDOR "rerazera developers")
set(CPACK_PACKAGE_CONTACT "rerazera developers <rerazera@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Shared library with a flat C interface that verifies QV firmware packages \
(header, bin header and payload CRC-16 checks, name rule), looks their \
sub-files up by ID, name or description, extracts them and strips their bin \
headers. Includes the C header, CMake and pkg-config files and the rerazera \
command-line tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
# The install rules run with DESTDIR, so install-time code (the pkg-config
# file) sees the real prefix rather than CPack's staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(RERAZERA_DPKG dpkg)
if(RERAZERA_DPKG)
  execute_process(COMMAND ${RERAZERA_DPKG} --print-architecture
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
# Dependencies (libc6, libstdc++6, libgcc-s1) come from dpkg-shlibdeps where
# it is installed; the shlibs file lets packages linking librerazera.so.1
# depend on this one in turn. ldconfig runs from the generated maintainer
# scripts.
find_program(RERAZERA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(RERAZERA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found: the Debian package will declare no dependencies")
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

include(CPack)
