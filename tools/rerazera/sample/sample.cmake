# SPDX-License-Identifier: MIT
# Sample packages for the README's first command, built with `rerazera pack`:
#   sample/sample.qv      five sub-files with names and descriptions
#   sample/sample-ext.qv  300 sub-files: 255 in the header table, 45 behind
#                         an extension
# The payloads are small text files written at configure time (only when
# their content changes, so the packages are not rebuilt needlessly).
set(RERAZERA_SAMPLE_DIR ${PROJECT_BINARY_DIR}/sample)

function(rerazera_sample_file path content)
  file(CONFIGURE OUTPUT ${RERAZERA_SAMPLE_DIR}/${path} CONTENT "${content}" @ONLY)
endfunction()

string(REPEAT "kernel image line of the sample package\n" 200 kernel_text)
string(REPEAT "root file system block\n" 500 rootfs_text)
rerazera_sample_file(payload/boot.bin "sample boot loader\n")
rerazera_sample_file(payload/kernel.img "${kernel_text}")
rerazera_sample_file(payload/rootfs.img "${rootfs_text}")
rerazera_sample_file(payload/device.conf "speed=115200\nmode=normal\n")
rerazera_sample_file(payload/notes.txt "This package was built by rerazera pack.\n")
rerazera_sample_file(sample.manifest
"# ID       NAME         PATH                 DESCRIPTION
0x0001     boot.bin     payload/boot.bin     Boot loader
0x0002     kernel.img   payload/kernel.img   Kernel image
0x0003     rootfs.img   payload/rootfs.img   Root file system
0x0010     device.conf  payload/device.conf  Device configuration
0x0020     notes.txt    payload/notes.txt    Release notes
")

set(ext_manifest "# 300 parts: more than the header table holds\n")
foreach(i RANGE 1 300)
  string(LENGTH "${i}" digits)
  math(EXPR pad "3 - ${digits}")
  string(REPEAT "0" ${pad} zeros)
  set(n "${zeros}${i}")
  math(EXPR id "0x1000 + ${i}" OUTPUT_FORMAT HEXADECIMAL)
  rerazera_sample_file(ext/part-${n}.bin "part ${n} of the extended sample\n")
  string(APPEND ext_manifest "${id} part-${n}.bin ext/part-${n}.bin Part ${n} of 300\n")
endforeach()
rerazera_sample_file(sample-ext.manifest "${ext_manifest}")

# Packing runs the tool just built: in a cross build only through the
# emulator CMake is told about, and not at all without one.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "Sample packages: not packed (cross build without CMAKE_CROSSCOMPILING_EMULATOR)")
  return()
endif()
set(rerazera_pack ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:rerazera_cli> pack)
add_custom_command(
  OUTPUT ${RERAZERA_SAMPLE_DIR}/sample.qv
  COMMAND ${rerazera_pack} --product-type 0x2a --manifest sample.manifest -o sample.qv
  DEPENDS rerazera_cli ${RERAZERA_SAMPLE_DIR}/sample.manifest
  WORKING_DIRECTORY ${RERAZERA_SAMPLE_DIR}
  COMMENT "Packing the sample package"
  VERBATIM)
add_custom_command(
  OUTPUT ${RERAZERA_SAMPLE_DIR}/sample-ext.qv
  COMMAND ${rerazera_pack} --product-type 0x2a --manifest sample-ext.manifest -o sample-ext.qv
  DEPENDS rerazera_cli ${RERAZERA_SAMPLE_DIR}/sample-ext.manifest
  WORKING_DIRECTORY ${RERAZERA_SAMPLE_DIR}
  COMMENT "Packing the sample package with an extension"
  VERBATIM)
add_custom_target(rerazera_sample ALL
  DEPENDS ${RERAZERA_SAMPLE_DIR}/sample.qv ${RERAZERA_SAMPLE_DIR}/sample-ext.qv)
