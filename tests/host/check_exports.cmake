# Compares every defined dynamic symbol of a shared library, of every type
# and binding, with a golden list, and checks the library's SONAME and that
# its thread-local storage is all in the block a thread gets at its
# creation.
# Usage: cmake -DREADELF=readelf -DLIBRARY=libmirelo.so.N.M.P -DSONAME=libmirelo.so.N
#              -DGOLDEN=exported_symbols.txt -P check_exports.cmake
foreach(var READELF LIBRARY SONAME GOLDEN)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "check_exports: ${var} is not set")
  endif()
endforeach()

function(run_readelf out)
  execute_process(COMMAND ${READELF} --wide ${ARGN} ${LIBRARY}
                  OUTPUT_VARIABLE listing RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "check_exports: ${READELF} ${ARGN} failed: ${err}")
  endif()
  set(${out} "${listing}" PARENT_SCOPE)
endfunction()

# "   Num:    Value          Size Type    Bind   Vis      Ndx Name": a symbol
# is defined unless its section index is UND. Versioned names keep their
# "@VERSION" suffix, so a version node would show up as a difference too.
run_readelf(listing --dyn-syms)
string(REPLACE "\n" ";" lines "${listing}")
set(defined)
foreach(line IN LISTS lines)
  if(line MATCHES "^ *[0-9]+: +[0-9a-fA-F]+ +[0-9a-fx]+ +([A-Z_0-9]+) +([A-Z_0-9]+) +([A-Z_0-9]+) +([A-Z_0-9]+) *(.*)$")
    if(NOT CMAKE_MATCH_4 STREQUAL "UND")
      list(APPEND defined "${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_5}")
    endif()
  endif()
endforeach()
list(SORT defined)

file(STRINGS ${GOLDEN} expected)
list(SORT expected)

if(NOT defined STREQUAL expected)
  string(REPLACE ";" "\n  " got "${defined}")
  string(REPLACE ";" "\n  " want "${expected}")
  message(FATAL_ERROR "defined dynamic symbols differ\ndefined (type binding visibility name):\n  ${got}\nexpected:\n  ${want}")
endif()
message(STATUS "defined dynamic symbols: ${defined}")

run_readelf(dynamic --dynamic)
if(NOT dynamic MATCHES "\\(SONAME\\) +Library soname: \\[([^]]*)\\]")
  message(FATAL_ERROR "check_exports: ${LIBRARY} has no SONAME")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL SONAME)
  message(FATAL_ERROR "check_exports: SONAME is ${CMAKE_MATCH_1}, expected ${SONAME}")
endif()
message(STATUS "SONAME: ${CMAKE_MATCH_1}")

# A library loaded with dlopen whose thread-local variables use a dynamic
# model gets their memory on each thread's first use of them, and the C
# library ends the process when that allocation fails. The initial-exec
# model puts them in the static block: the library is marked STATIC_TLS and
# has no relocation of a dynamic model (module id, offset in the module's
# block, descriptor: R_X86_64_DTPMOD64, R_X86_64_DTPOFF64, R_X86_64_TLSDESC
# and their kin on other machines).
run_readelf(segments --program-headers)
if(segments MATCHES "\n +TLS ")
  if(NOT dynamic MATCHES "\(FLAGS\)[^\n]*STATIC_TLS")
    message(FATAL_ERROR "check_exports: ${LIBRARY} has thread-local storage but no STATIC_TLS flag")
  endif()
  run_readelf(relocations --relocs)
  string(REGEX MATCHALL "R_[A-Z0-9_]*(DTPMOD|DTPOFF|DTPREL|TLSDESC|TLS_DESC)[A-Z0-9_]*" dynamic_tls "${relocations}")
  if(dynamic_tls)
    list(REMOVE_DUPLICATES dynamic_tls)
    message(FATAL_ERROR "check_exports: ${LIBRARY} has relocations of dynamic thread-local storage: ${dynamic_tls}")
  endif()
  message(STATUS "thread-local storage: static only")
endif()
