# A short demonstration run as a test: the staged tree, the supervisor stand-in and the sample
# plugins; then what must have happened. Arguments: BUILD_DIR, WORK_DIR, SIM.
file(REMOVE_RECURSE ${WORK_DIR})
foreach(component runtime samples demo)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}
                          --component ${component}
                  RESULT_VARIABLE rc OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "staging ${component} failed")
  endif()
endforeach()
set(tree ${WORK_DIR}/korva)

execute_process(COMMAND ${SIM} --dir ${tree} --seconds 12 --send 11:stats --send-after 8
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 240)
file(WRITE ${WORK_DIR}/demo-output.txt "${out}\n--- stderr ---\n${err}")
message(STATUS "output kept in ${WORK_DIR}/demo-output.txt")

if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the run ended with ${rc}")
endif()
# A first run in a tree staged as `make demo` stages it starts without an error line: the staged
# core.xml is read, and the identity script's sudo attempt says nothing.
foreach(error "Config defaulted" "Failed to" "not found")
  if("${out}${err}" MATCHES "${error}")
    message(FATAL_ERROR "the first run printed an error line (${error})")
  endif()
endforeach()
# The recorder's answer to the packet: frames went from the camera to the recorder.
if(NOT out MATCHES "korvad-sim: packet [^\n]*frames=[1-9]")
  message(FATAL_ERROR "no packet round trip with delivered frames")
endif()
# The search client's summary: searches served by the recorder produced results.
if(NOT out MATCHES "results=[1-9]")
  message(FATAL_ERROR "no search results")
endif()
foreach(file core.xml korva.log)
  if(NOT EXISTS ${tree}/${file})
    message(FATAL_ERROR "${file} was not written")
  endif()
endforeach()
file(READ ${tree}/core.xml status)
if(NOT status MATCHES "Filename=\"Recorder.so\"")
  message(FATAL_ERROR "core.xml doesn't list the recorder")
endif()
message(STATUS "demo run: 1 passed, 0 failed")
