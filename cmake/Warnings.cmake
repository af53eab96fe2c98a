# SPDX-License-Identifier: MIT
# Warning flags shared by every target of the project.
add_library(rerazera_warnings INTERFACE)
target_compile_options(rerazera_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
                       $<$<BOOL:${RERAZERA_WERROR}>:-Werror>)
# GCC for 32-bit Arm notes, at every std::sort over 64-bit elements in the
# tool, that GCC 7.1 changed how such iterators are passed. Nothing here is
# linked with code an older GCC built, so the notes (dozens per build) only
# bury the build's real messages.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  target_compile_options(rerazera_warnings INTERFACE -Wno-psabi)
endif()
