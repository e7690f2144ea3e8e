# Fails when the x86-64-v3 trace object defines a weak (shared) code symbol
# outside trace::wide: the linker could then pick that copy for the baseline
# build's callers.
execute_process(COMMAND ${NM} -C --defined-only ${OBJECTS} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${OBJECTS}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(shared "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-f]+ [WiuV] (.*)$")
    set(name "${CMAKE_MATCH_1}")
    # Demangled functions start with their return type.
    if(NOT name MATCHES "(^| )trace::wide::")
      string(APPEND shared "  ${name}\n")
    endif()
  endif()
endforeach()
if(shared)
  message(FATAL_ERROR "x86-64-v3 trace object shares symbols with the baseline build:\n${shared}")
endif()
message(STATUS "no shared symbols outside trace::wide")
