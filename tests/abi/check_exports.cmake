# Compares the dynamic symbols a shared object defines with the export map.
# Fails when the object exports anything the map does not list, or lacks a
# function the map lists.
find_program(NM NAMES nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(exported "")
foreach(line IN LISTS lines)
  # "address type name"; absolute symbols such as the version node are not
  # functions of the interface.
  if(line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) ([^ @]+)")
    if(NOT CMAKE_MATCH_1 STREQUAL "A")
      list(APPEND exported ${CMAKE_MATCH_2})
    endif()
  endif()
endforeach()

file(STRINGS ${MAP} maplines REGEX "^[ \t]+QVPKG_[A-Za-z0-9_]+;")
set(expected "")
foreach(line IN LISTS maplines)
  string(REGEX REPLACE "[ \t;]" "" name "${line}")
  list(APPEND expected ${name})
endforeach()

set(extra ${exported})
list(REMOVE_ITEM extra ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
if(extra)
  message(FATAL_ERROR "exported but not in the export map: ${extra}")
endif()
if(missing)
  message(FATAL_ERROR "in the export map but not exported: ${missing}")
endif()
list(LENGTH exported n)
message(STATUS "${n} symbols exported, all listed in the export map")
