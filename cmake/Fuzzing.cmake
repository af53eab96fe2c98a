# SPDX-License-Identifier: MIT
# Fuzzing build (RERAZERA_BUILD_FUZZ): clang's libFuzzer with AddressSanitizer
# and UndefinedBehaviorSanitizer. The library's code is instrumented for
# coverage as well (fuzzer-no-link), so the fuzzer is guided by the paths it
# takes inside the library, not only by those of the harness. The fuzz
# programs themselves add -fsanitize=fuzzer when they link.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "RERAZERA_BUILD_FUZZ needs clang (libFuzzer): configure with "
                      "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=all)
add_link_options(-fsanitize=address,undefined)
