# SPDX-License-Identifier: MIT
# The ABI guard. Three lists must agree:
#   - the functions declared in the public header (HEADER),
#   - the export map given to the linker (MAP),
#   - the dynamic symbols the shared object (LIB) defines, each under the
#     map's version node.
# Every disagreement is reported, then the script fails. The header and the
# map are compared first, so a drift between them shows even while the
# library is incomplete.
#   cmake -DLIB=librerazera.so -DMAP=rerazera.map -DHEADER=rerazera.h -P check_exports.cmake
# PREFIX names the exported functions of the header (default QVPKG_; the
# signature library's are rerazera_).
cmake_policy(SET CMP0057 NEW)
foreach(var LIB MAP HEADER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_exports.cmake needs -D${var}=...")
  endif()
endforeach()

if(NOT DEFINED PREFIX)
  set(PREFIX QVPKG_)
endif()

set(problems 0)
function(report what names)
  if(names)
    list(JOIN names " " text)
    message(SEND_ERROR "${what}: ${text}")
    math(EXPR problems "${problems} + 1")
    set(problems ${problems} PARENT_SCOPE)
  endif()
endfunction()

# The map: the names in each version node's global section. A library that
# grew keeps its first node and adds one per release, so each name stays
# under the node it first shipped in.
file(READ ${MAP} map_text)
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" map_text "${map_text}")
# A ';' would split CMake's lists: the map's separators become ','.
string(REPLACE ";" "," map_text "${map_text}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_.]*[ \t\r\n]*{[ \t\r\n]*global:[^}]*}" node_texts
       "${map_text}")
if(NOT node_texts OR NOT map_text MATCHES "local:[ \t\r\n]*\\*")
  message(FATAL_ERROR "${MAP}: expected 'NODE { global: ...; local: *; };'")
endif()
set(mapped "")
set(nodes "")
foreach(node_text IN LISTS node_texts)
  string(REGEX MATCH "^[A-Za-z_][A-Za-z0-9_.]*" this_node "${node_text}")
  list(APPEND nodes ${this_node})
  string(REGEX REPLACE "^[^{]*{[ \t\r\n]*global:" "" names_text "${node_text}")
  string(REGEX REPLACE "local:.*" "" names_text "${names_text}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*[ \t\r\n]*," names "${names_text}")
  list(TRANSFORM names REPLACE "[ \t\r\n,]" "")
  foreach(name IN LISTS names)
    set(node_of_${name} ${this_node})
  endforeach()
  list(APPEND mapped ${names})
endforeach()
list(REMOVE_ITEM mapped "")
list(REMOVE_DUPLICATES mapped)
list(JOIN nodes ", " node)

# The header: every identifier followed by '(' outside comments and
# preprocessor lines that starts with PREFIX is a function declaration
# (macros such as QVPKG_2ND_TABLE_SIZE live on #define lines).
file(READ ${HEADER} header_text)
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" header_text "${header_text}")
string(REGEX REPLACE "//[^\n]*" "" header_text "${header_text}")
string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\\1" header_text "${header_text}")
string(REGEX MATCHALL "${PREFIX}[A-Za-z0-9_]+[ \t\r\n]*\\(" declared "${header_text}")
list(TRANSFORM declared REPLACE "[ \t\r\n(]" "")
list(REMOVE_DUPLICATES declared)

set(unmapped ${declared})
list(REMOVE_ITEM unmapped ${mapped})
set(undeclared ${mapped})
list(REMOVE_ITEM undeclared ${declared})
report("declared in ${HEADER} but not in the export map" "${unmapped}")
report("in the export map but not declared in ${HEADER}" "${undeclared}")

# The shared object: "address type name@@node" per defined dynamic symbol.
# The version node itself is an absolute symbol, not part of the interface.
find_program(NM NAMES nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(exported "")
set(unversioned "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ @]+)(@*)([^ ]*)$")
    if(CMAKE_MATCH_1 STREQUAL "A" AND CMAKE_MATCH_2 IN_LIST nodes)
      continue()
    endif()
    list(APPEND exported ${CMAKE_MATCH_2})
    if(NOT CMAKE_MATCH_3 STREQUAL "@@" OR NOT CMAKE_MATCH_4 STREQUAL "${node_of_${CMAKE_MATCH_2}}")
      list(APPEND unversioned ${CMAKE_MATCH_2})
    endif()
  endif()
endforeach()

set(extra ${exported})
list(REMOVE_ITEM extra ${mapped})
set(missing ${mapped})
list(REMOVE_ITEM missing ${exported})
report("exported but not in the export map" "${extra}")
report("in the export map but not exported" "${missing}")
report("exported without the default version of its node" "${unversioned}")

if(problems GREATER 0)
  message(FATAL_ERROR "the exported interface does not match the header and the export map")
endif()
list(LENGTH exported n)
message(STATUS "${n} symbols exported under ${node}, matching the header and the export map")
