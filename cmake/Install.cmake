# SPDX-License-Identifier: MIT
# Install rules: the shared libraries (librerazera, librerazera-package and
# librerazera-sign) with their SONAME links, the public headers, the
# command-line tool and its man page, a CMake package with one component per
# extra library, and a pkg-config file per library. The static archive, the writer and the test targets stay in the build
# tree. Included after every add_subdirectory() so the tool's target exists.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(RERAZERA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/rerazera)

install(TARGETS rerazera EXPORT rerazeraTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/rerazera.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The command-line tool: target rerazera_cli, output name rerazera.
if(TARGET rerazera_cli)
  # Under a prefix the loader does not search (/usr/local, /opt/...), the
  # tool finds the library beside it; under /usr it carries no run path.
  list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" rerazera_system_libdir)
  if(rerazera_system_libdir EQUAL -1)
    file(RELATIVE_PATH rerazera_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(rerazera_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${rerazera_bin_to_lib}")
  endif()
  install(TARGETS rerazera_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The man page is installed gzip-compressed, as Debian wants it and man
  # reads it anywhere; as written when gzip is missing.
  set(rerazera_man_page ${PROJECT_SOURCE_DIR}/tools/rerazera/rerazera.1)
  find_program(RERAZERA_GZIP gzip)
  if(EXISTS ${rerazera_man_page} AND RERAZERA_GZIP)
    set(rerazera_man_gz ${PROJECT_BINARY_DIR}/man/rerazera.1.gz)
    add_custom_command(OUTPUT ${rerazera_man_gz}
      COMMAND ${CMAKE_COMMAND} -E copy ${rerazera_man_page} ${PROJECT_BINARY_DIR}/man/rerazera.1
      COMMAND ${RERAZERA_GZIP} -9nf ${PROJECT_BINARY_DIR}/man/rerazera.1
      DEPENDS ${rerazera_man_page} VERBATIM)
    add_custom_target(rerazera_man ALL DEPENDS ${rerazera_man_gz})
    install(FILES ${rerazera_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  elseif(EXISTS ${rerazera_man_page})
    install(FILES ${rerazera_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  # Bash completion, named after the command so that bash-completion loads
  # it on first use: in the directory bash-completion's pkg-config file
  # names when that lies under the install prefix, else in the usual place
  # under the data directory.
  set(rerazera_completion_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_get_variable(rerazera_bash_completion_dir bash-completion completionsdir)
    string(FIND "${rerazera_bash_completion_dir}" "${CMAKE_INSTALL_PREFIX}/" rerazera_at)
    if(rerazera_at EQUAL 0)
      set(rerazera_completion_dir ${rerazera_bash_completion_dir})
    endif()
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/tools/rerazera/rerazera.bash-completion
          DESTINATION ${rerazera_completion_dir} RENAME rerazera)
  # The JSON Schemas of the documents the tool writes.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/share/rerazera/schemas/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/rerazera/schemas FILES_MATCHING PATTERN "*.schema.json")
  # zsh and fish look in their vendor directories under the data directory.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/rerazera/rerazera.zsh-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions RENAME _rerazera)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/rerazera/rerazera.fish-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d RENAME rerazera.fish)
endif()

# find_package(rerazera [COMPONENTS package sign]): imported targets
# rerazera::rerazera, rerazera::package and rerazera::sign. The files locate
# the installation from their own position, so the tree can be moved or
# staged (DESTDIR, a package root) without editing them.
install(EXPORT rerazeraTargets NAMESPACE rerazera:: DESTINATION ${RERAZERA_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/rerazeraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/rerazeraConfig.cmake INSTALL_DESTINATION ${RERAZERA_CMAKE_DIR})
# A new major version is a new SONAME: only the same major version satisfies
# a request.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rerazeraConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/rerazeraConfig.cmake
              ${PROJECT_BINARY_DIR}/rerazeraConfigVersion.cmake
        DESTINATION ${RERAZERA_CMAKE_DIR})

# pkg-config. The prefix is the one of the install that runs, not the one of
# the configure step, so `cmake --install build --prefix DIR` and the Debian
# packages (debian/, installed into a staging directory) both get a file
# naming their own prefix. Everything else is
# filled in at configure time; the prefix placeholder is kept for the install.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(RERAZERA_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(RERAZERA_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(RERAZERA_PC_PREFIX "@RERAZERA_PC_PREFIX@")
# One file per library: rerazera.pc (the QVPKG_ functions), rerazera-package.pc
# and, when built, rerazera-sign.pc.
function(rerazera_pkg_config RERAZERA_PC_NAME RERAZERA_PC_DESCRIPTION)
  set(RERAZERA_PC_LIB ${RERAZERA_PC_NAME})
  set(RERAZERA_PC_REQUIRES "${ARGN}")
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/rerazera.pc.in
                 ${PROJECT_BINARY_DIR}/${RERAZERA_PC_NAME}.pc.in @ONLY)
  install(CODE "
    set(RERAZERA_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_BINARY_DIR}/${RERAZERA_PC_NAME}.pc.in\"
                   \"${PROJECT_BINARY_DIR}/${RERAZERA_PC_NAME}.pc\" @ONLY)
  ")
  install(FILES ${PROJECT_BINARY_DIR}/${RERAZERA_PC_NAME}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
rerazera_pkg_config(rerazera "${PROJECT_DESCRIPTION}")
rerazera_pkg_config(rerazera-package
  "QV package handles, per-entry reports and extraction (rerazera/package.h)")
if(TARGET rerazera_sign)
  # Its callers use the QVPKG_ functions beside it, and its header the
  # package API's stream types: both come along.
  rerazera_pkg_config(rerazera-sign "Detached signatures of QV packages (rerazera/sign.h)"
                      "rerazera rerazera-package")
endif()

# librerazera-package and its header, rerazera/package.h.
install(TARGETS rerazera_package EXPORT rerazeraTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/rerazera/package.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/rerazera)

# librerazera-sign (detached signatures) and its header, rerazera/sign.h.
if(TARGET rerazera_sign)
  install(TARGETS rerazera_sign EXPORT rerazeraTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/include/rerazera/sign.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/rerazera)
endif()

# The static archive, librerazera.a, for firmware images that link
# statically: the same objects as the shared library, under the same name so
# that -static -lrerazera finds it. A static link also needs the C++ runtime
# and the threads library (-lstdc++ -lpthread). Off by default: the Debian
# packages ship the shared library only.
option(RERAZERA_INSTALL_STATIC "Install the static library librerazera.a" OFF)
if(RERAZERA_INSTALL_STATIC)
  set_target_properties(rerazera_static PROPERTIES OUTPUT_NAME rerazera)
  install(TARGETS rerazera_static ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
