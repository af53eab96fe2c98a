# SPDX-License-Identifier: MIT
# Unpacks PACKAGE, packs it again from its manifest.json and fails unless the
# result is the same bytes.
#   cmake -DTOOL=... -DPACKAGE=... -DWORK=... -P repack_round_trip.cmake
file(REMOVE_RECURSE ${WORK} ${WORK}.qv)
foreach(step "unpack;${PACKAGE};-C;${WORK}" "pack;--manifest;${WORK}/manifest.json;-o;${WORK}.qv")
  execute_process(COMMAND ${TOOL} ${step} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "rerazera ${step}: exit ${rc}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${PACKAGE} ${WORK}.qv RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${WORK}.qv differs from ${PACKAGE}")
endif()
