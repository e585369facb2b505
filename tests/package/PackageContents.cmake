# The camera package's contents: pack it, unpack it with its debug archive and check what
# PackageChecks.cmake asks of it. Then the same checks on copies of it broken one way each, which
# they must catch. Arguments: BUILD_DIR, WORK_DIR, VERSION, MIN_GLIBC, READELF and OBJCOPY (the
# target's), LICENSE, UNSTRIPPED (the korvacore of the build, with its debug information).
cmake_policy(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/PackageChecks.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND cpack --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/pkg
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
set(name korva-${VERSION}-armhf)
if(NOT rc EQUAL 0 OR NOT EXISTS ${WORK_DIR}/pkg/${name}.tar.gz
   OR NOT EXISTS ${WORK_DIR}/pkg/${name}-debug.tar.gz)
  message(FATAL_ERROR "cpack failed or made no ${name}.tar.gz and ${name}-debug.tar.gz: ${out}")
endif()
set(good ${WORK_DIR}/good)
file(MAKE_DIRECTORY ${good}/package ${good}/debug)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xzf ${WORK_DIR}/pkg/${name}.tar.gz
                WORKING_DIRECTORY ${good}/package)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xzf ${WORK_DIR}/pkg/${name}-debug.tar.gz
                WORKING_DIRECTORY ${good}/debug)

kv_check_package(${good}/package/korva ${good}/debug problems)
if(problems)
  list(JOIN problems "\n  " problems)
  message(FATAL_ERROR "the package:\n  ${problems}")
endif()
foreach(archive ${name} ${name}-debug)
  file(SIZE ${WORK_DIR}/pkg/${archive}.tar.gz size)
  message(STATUS "${archive}.tar.gz: ${size} bytes")
endforeach()
message(STATUS "the shipped files need GLIBC_${KV_GLIBC_NEEDED}, the package states ${MIN_GLIBC}")

# Broken copies: case|what the checks must then report.
set(cases
  "unstripped|korvacore is not stripped"
  "no-debuglink|plugins/LogPI.so has no .gnu_debuglink"
  "debug-lost|korvacore: no debug file"
  "debug-empty|\\(korvacore\\) holds no debug info"
  "debug-extra|the debug archive holds more"
  "file-unlisted|plugins/Extra.so is not in the MANIFEST"
  "file-altered|wrong SHA-256 for product.xml"
  "file-gone|lists scripts/get_id.sh, which is not in the package"
  "manifest-version|has no line '# version: "
  "licence-gone|without its licence licenses/fmt.txt"
  "licence-ours|licenses/korva.txt is not the repository's LICENSE"
  "lib-unlicensed|lib/libextra.so.1 ships without a licence"
  "manifest-line|the MANIFEST line '[0-9a-f]+ korvacore' is not a SHA-256 and a file"
  "glibc-lower|needs GLIBC_${KV_GLIBC_NEEDED}, above the stated")
set(good_glibc ${MIN_GLIBC})
set(good_version ${VERSION})
foreach(case ${cases})
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 break)
  list(GET case 1 expected)
  set(tree ${WORK_DIR}/broken/${break}/korva)
  set(debug ${good}/debug)
  file(COPY ${good}/package/korva DESTINATION ${WORK_DIR}/broken/${break})
  kv_readelf(notes -n ${tree}/korvacore)
  string(REGEX MATCH "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)" _ "${notes}")
  set(core_debug .build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug)
  if(break MATCHES "^debug-")
    set(debug ${WORK_DIR}/broken/${break}/debug)
    file(COPY ${good}/debug/ DESTINATION ${debug})
  endif()
  set(MIN_GLIBC ${good_glibc})
  set(VERSION ${good_version})

  if(break STREQUAL "unstripped")
    file(COPY_FILE ${UNSTRIPPED} ${tree}/korvacore)
  elseif(break STREQUAL "no-debuglink")
    execute_process(COMMAND ${OBJCOPY} --remove-section=.gnu_debuglink ${tree}/plugins/LogPI.so
                    COMMAND_ERROR_IS_FATAL ANY)
  elseif(break STREQUAL "debug-lost")
    file(REMOVE ${debug}/${core_debug})
  elseif(break STREQUAL "debug-empty")
    file(COPY_FILE ${tree}/korvacore ${debug}/${core_debug})
  elseif(break STREQUAL "debug-extra")
    file(WRITE ${debug}/.build-id/00/0000.debug "")
  elseif(break STREQUAL "file-unlisted")
    file(WRITE ${tree}/plugins/Extra.so "")
  elseif(break STREQUAL "file-altered")
    file(APPEND ${tree}/product.xml " ")
  elseif(break STREQUAL "file-gone")
    file(REMOVE ${tree}/scripts/get_id.sh)
  elseif(break STREQUAL "manifest-version")
    set(VERSION ${VERSION}.1)
  elseif(break STREQUAL "manifest-line")
    file(READ ${tree}/MANIFEST manifest)
    string(REPLACE "  korvacore\n" " korvacore\n" manifest "${manifest}")
    file(WRITE ${tree}/MANIFEST "${manifest}")
  elseif(break STREQUAL "licence-gone")
    file(REMOVE ${tree}/licenses/fmt.txt)
  elseif(break STREQUAL "licence-ours")
    file(APPEND ${tree}/licenses/korva.txt "\nAll rights reserved.\n")
  elseif(break STREQUAL "lib-unlicensed")
    file(COPY_FILE ${tree}/lib/libfmt.so.9 ${tree}/lib/libextra.so.1)
  elseif(break STREQUAL "glibc-lower")
    # A stated version just below the one the shipped files need.
    string(REGEX MATCH "^(.*\\.)([0-9]+)$" _ "${KV_GLIBC_NEEDED}")
    math(EXPR minor "${CMAKE_MATCH_2} - 1")
    set(MIN_GLIBC ${CMAKE_MATCH_1}${minor})
  endif()

  kv_check_package(${tree} ${debug} problems)
  list(JOIN problems "\n  " report)
  if(NOT report MATCHES "${expected}")
    message(FATAL_ERROR "broken package '${break}': no problem matches '${expected}'; "
                        "the checks reported:\n  ${report}")
  endif()
  message(STATUS "broken package '${break}': caught")
  file(REMOVE_RECURSE ${WORK_DIR}/broken/${break})
endforeach()
message(STATUS "package contents: 1 passed, 0 failed")
