# Writes the dynamic list of what the live desktop's library takes from the
# host: the platform symbols it leaves undefined. The host exports exactly
# these, so that a host that never opens the library pays nothing for it.
#   cmake -DLIBRARY=<the .so> -DNM=<nm> -DOUTPUT=<list> -P imports.cmake
execute_process(COMMAND ${NM} -D --undefined-only ${LIBRARY}
                OUTPUT_VARIABLE undefined RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} could not read ${LIBRARY}")
endif()
string(REGEX MATCHALL "_Z[A-Z]*8platform[^\n ]*" symbols "${undefined}")
list(REMOVE_DUPLICATES symbols)
list(SORT symbols)
set(text "{\n")
foreach(symbol ${symbols})
  string(APPEND text "  ${symbol};\n")
endforeach()
string(APPEND text "};\n")
# Rewritten only when it changes, so that the host relinks only then.
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} before)
endif()
if(NOT "${before}" STREQUAL "${text}")
  file(WRITE ${OUTPUT} "${text}")
endif()
