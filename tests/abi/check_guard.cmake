# SPDX-License-Identifier: MIT
# Runs the ABI guard on a header and a map that have drifted apart (drift/)
# and the real shared object, and checks that it fails naming each
# disagreement, and nothing that is not one.
#   cmake -DLIB=librerazera.so -DGUARD=check_exports.cmake -P check_guard.cmake
get_filename_component(dir ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
execute_process(COMMAND ${CMAKE_COMMAND} -DLIB=${LIB} -DMAP=${dir}/drift/rerazera.map
                        -DHEADER=${dir}/drift/rerazera.h -P ${GUARD}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX REPLACE "[ \t\r\n]+" " " text "${out} ${err}")
if(rc EQUAL 0)
  message(FATAL_ERROR "the guard passed a drifted header and map:\n${out}${err}")
endif()
set(expected
    "rerazera.h but not in the export map: QVPKG_NotInMap Call Stack"
    "in the export map but not declared in [^ ]*rerazera.h: QVPKG_OnlyInMap Call Stack"
    "exported but not in the export map: [^:]*QVPKG_ChkQvHeader[^:]* Call Stack"
    "in the export map but not exported: QVPKG_OnlyInMap Call Stack")
foreach(pattern IN LISTS expected)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "the guard's report lacks '${pattern}':\n${out}${err}")
  endif()
endforeach()
foreach(name QVPKG_InComment QVPKG_MACRO QVPKG_Commented)
  if(text MATCHES "${name}")
    message(FATAL_ERROR "the guard took ${name} for a declaration:\n${out}${err}")
  endif()
endforeach()
if(text MATCHES "exported but not in the export map: [^:]*QVPKG_MakeCrcCheckSum")
  message(FATAL_ERROR "the guard reported a listed export:\n${out}${err}")
endif()
message(STATUS "the guard names every disagreement")
