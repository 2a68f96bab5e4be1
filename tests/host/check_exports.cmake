# Compares the functions that a shared library exports with a golden list.
# Usage: cmake -DNM=nm -DLIBRARY=libmirelo.so -DGOLDEN=exported_symbols.txt -P check_exports.cmake
foreach(var NM LIBRARY GOLDEN)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_exports: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "check_exports: ${NM} failed: ${err}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(exported)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ T (.+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT exported)

file(STRINGS ${GOLDEN} expected)
list(SORT expected)

if(NOT exported STREQUAL expected)
  string(REPLACE ";" "\n  " got "${exported}")
  string(REPLACE ";" "\n  " want "${expected}")
  message(FATAL_ERROR "exported functions differ\nexported:\n  ${got}\nexpected:\n  ${want}")
endif()
message(STATUS "exported functions: ${exported}")
