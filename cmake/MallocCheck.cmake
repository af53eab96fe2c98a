# SPDX-License-Identifier: MIT
# glibc's malloc checker writes a guard byte just past every block and checks
# it on free, so a block the library sizes one byte short for a caller fails
# a plain build's tests, not only a sanitizer's. Sanitizers bring their own
# allocator, and the fault tests interpose malloc themselves: both go without.
if(NOT RERAZERA_SANITIZE)
  find_file(RERAZERA_MALLOC_DEBUG libc_malloc_debug.so.0
            PATHS /lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
                  /lib64 /usr/lib64 NO_DEFAULT_PATH)
endif()
# Runs tests under the checker: TARGET names a GoogleTest executable whose
# discovered tests are meant (call it after gtest_discover_tests, so that its
# script runs after the one that adds them), TESTS names plain tests.
function(rerazera_check_malloc)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET" "TESTS")
  if(NOT RERAZERA_MALLOC_DEBUG)
    return()
  endif()
  set(env "LD_PRELOAD=${RERAZERA_MALLOC_DEBUG};MALLOC_CHECK_=3")
  if(arg_TESTS)
    set_tests_properties(${arg_TESTS} PROPERTIES ENVIRONMENT "${env}")
  endif()
  if(arg_TARGET)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}_malloc_check.cmake)
    file(WRITE ${script}
         "set_tests_properties(\${${arg_TARGET}_TESTS} PROPERTIES ENVIRONMENT \"${env}\")\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()
