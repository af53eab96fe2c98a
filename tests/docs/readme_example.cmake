# SPDX-License-Identifier: MIT
# The C programs the README shows are files that CTest builds and runs, less
# their opening comment: block NTH (from 0, default 0) is EXAMPLE.
#   cmake -DREADME=... -DEXAMPLE=... [-DNTH=1] -P readme_example.cmake
if(NOT DEFINED NTH)
  set(NTH 0)
endif()
file(READ ${README} readme)
# Block by block from the start: C code holds ';', which a CMake list would
# split on.
set(shown "")
set(rest "${readme}")
foreach(i RANGE ${NTH})
  string(FIND "${rest}" "```c\n" at)
  if(at EQUAL -1)
    set(shown "")
    break()
  endif()
  math(EXPR at "${at} + 5")
  string(SUBSTRING "${rest}" ${at} -1 rest)
  string(FIND "${rest}" "```" end)
  string(SUBSTRING "${rest}" 0 ${end} shown)
endforeach()
file(READ ${EXAMPLE} example)
string(REGEX REPLACE "^// SPDX-License-Identifier: MIT\n" "" example "${example}")
string(REGEX REPLACE "^/\\*([^*]|\\*[^/])*\\*/\n" "" example "${example}")
if(shown STREQUAL "" OR NOT shown STREQUAL example)
  message(FATAL_ERROR "The README's C program differs from ${EXAMPLE}")
endif()
