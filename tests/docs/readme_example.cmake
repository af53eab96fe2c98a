# SPDX-License-Identifier: MIT
# The C program the README shows is examples/verify_and_extract.c, the file
# CTest builds and runs, less its opening comment.
#   cmake -DREADME=... -DEXAMPLE=... -P readme_example.cmake
file(READ ${README} readme)
string(REGEX MATCH "```c\n([^`]*)```" block "${readme}")
set(shown "${CMAKE_MATCH_1}")
file(READ ${EXAMPLE} example)
string(REGEX REPLACE "^// SPDX-License-Identifier: MIT\n" "" example "${example}")
string(REGEX REPLACE "^/\\*([^*]|\\*[^/])*\\*/\n" "" example "${example}")
if(shown STREQUAL "" OR NOT shown STREQUAL example)
  message(FATAL_ERROR "The README's C program differs from ${EXAMPLE}")
endif()
