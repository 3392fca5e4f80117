# Runs a program once as it is and once per kernel level forced through VELMORA_KERNELS, and
# fails unless every level prints the same output, lines that report a time ("12.3 ms", "1.2 s")
# aside.
# A level this processor lacks must be refused with the library's message; an unknown name
# must stop the program with that message and a non-zero status.
#   cmake -DPROGRAM=... -DARGS=a;b -DLEVELS=sse2;avx2 [-DEMULATOR=...] -P compare_levels.cmake
function(run_with level out_var status_var error_var)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env VELMORA_KERNELS=${level} ${EMULATOR} ${PROGRAM} ${ARGS}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  string(REGEX REPLACE "[^\n]*[0-9] m?s([^a-z\n][^\n]*)?\n" "" out "${out}")
  set(${out_var} "${out}" PARENT_SCOPE)
  set(${status_var} "${status}" PARENT_SCOPE)
  set(${error_var} "${err}" PARENT_SCOPE)
endfunction()

run_with("" expected status error)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed (${status}): ${error}")
endif()
foreach(level ${LEVELS})
  run_with(${level} output status error)
  if(error MATCHES "VELMORA_KERNELS=${level}: this processor lacks it")
    message(STATUS "${level}: not on this processor")
  elseif(NOT status EQUAL 0)
    message(FATAL_ERROR "${level}: ${PROGRAM} failed (${status}): ${error}")
  elseif(NOT output STREQUAL expected)
    message(FATAL_ERROR "${level}: the output differs from the default level's:\n${output}")
  else()
    message(STATUS "${level}: same output")
  endif()
endforeach()
run_with(nosuchlevel output status error)
if(status EQUAL 0 OR NOT error MATCHES "^velmora: VELMORA_KERNELS=nosuchlevel: no such kernel level")
  message(FATAL_ERROR "an unknown level was not refused (status ${status}): ${error}")
endif()
