# The camera package as a test: pack it, unpack it, and run the packaged korvacore under the
# emulator with nothing but the package's lib/ and the target's C library.
# Arguments: BUILD_DIR, WORK_DIR, CLIBS (directory of the target C library), SIM (korvad-sim),
# SIM_EMULATOR (how to run SIM, ';'-separated), MODE (help or run), VERSION (the project version).
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND cpack --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/pkg
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB archive ${WORK_DIR}/pkg/korva-${VERSION}-armhf.tar.gz)
if(NOT rc EQUAL 0 OR NOT archive)
  message(FATAL_ERROR "cpack failed: ${out}")
endif()
file(MAKE_DIRECTORY ${WORK_DIR}/unpacked)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xzf ${archive} WORKING_DIRECTORY ${WORK_DIR}/unpacked)
set(tree ${WORK_DIR}/unpacked/korva)
foreach(file korvacore plugins/LogPI.so scripts/get_id.sh product.xml lib/libfmt.so.9
             lib/libstdc++.so.6)
  if(NOT EXISTS ${tree}/${file})
    message(FATAL_ERROR "the package has no ${file}")
  endif()
endforeach()
file(READ ${tree}/product.xml product)
string(FIND "${product}" "Version=\"${VERSION}\"" at)
if(at EQUAL -1)
  message(FATAL_ERROR "product.xml does not carry version ${VERSION}:\n${product}")
endif()

# A root holding only the C library: everything else must come from the package. The libraries
# go where the loader looks first, so that it never falls back on the build machine's.
set(multiarch ${WORK_DIR}/croot/lib/arm-linux-gnueabihf)
file(MAKE_DIRECTORY ${multiarch})
file(REAL_PATH ${CLIBS}/ld-linux-armhf.so.3 real)
file(COPY_FILE ${real} ${WORK_DIR}/croot/lib/ld-linux-armhf.so.3)
foreach(lib libc.so.6 libm.so.6)
  file(REAL_PATH ${CLIBS}/${lib} real)
  file(COPY_FILE ${real} ${multiarch}/${lib})
endforeach()
# An empty loader cache, so that the loader can't be pointed at the build machine's libraries.
file(WRITE ${WORK_DIR}/croot/etc/ld.so.cache "")
set(core_emulator qemu-arm -L ${WORK_DIR}/croot -U LD_LIBRARY_PATH)

if(MODE STREQUAL "help")
  execute_process(COMMAND ${core_emulator} -E LD_DEBUG=libs ${tree}/korvacore -h
                  RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
  string(REPLACE "." "\\." version_pattern "${VERSION}")
  if(NOT rc EQUAL 0 OR NOT err MATCHES "core version ${version_pattern}\n")
    message(FATAL_ERROR "korvacore -h: ${rc}\n${err}")
  endif()
  foreach(lib libfmt.so.9 libstdc\\+\\+.so.6)
    if(NOT err MATCHES "trying file=${tree}/lib/${lib}")
      message(FATAL_ERROR "${lib} was not taken from the package:\n${err}")
    endif()
  endforeach()
else()
  string(REPLACE ";" " " sim_core_emulator "${core_emulator}")
  execute_process(COMMAND ${SIM_EMULATOR} ${SIM} --emulator "${sim_core_emulator}"
                          --dir ${tree} --seconds 4
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
  if(NOT rc EQUAL 0 OR NOT EXISTS ${tree}/core.xml)
    message(FATAL_ERROR "supervised run: ${rc}\n${out}\n${err}")
  endif()
endif()
message(STATUS "package ${MODE}: 1 passed, 0 failed")
