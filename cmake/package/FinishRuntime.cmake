# CPack pre-build script: finishes the staged runtime tree before it is packed.
#  1. Every ELF file of ours (korvacore, the plugins; not lib/, which ships the system's libraries
#     as they are) loses its debug information and symbol table. The debug information goes to
#     .build-id/xx/yyyy....debug, where debuggers look it up by build-id, and the stripped file
#     gets a .gnu_debuglink naming it; those files are packed as <package>-debug.tar.gz beside
#     the package.
#  2. MANIFEST, installed with a header of comments (the version, the C library the camera needs),
#     gets the SHA-256 of every other file, in the form `sha256sum -c` reads.
# Settings from the project: CPACK_KV_ROOT (the camera directory), CPACK_KV_OBJCOPY,
# CPACK_KV_STRIP, CPACK_KV_READELF (the target's binutils).
cmake_policy(VERSION 3.25)
if(NOT "runtime" IN_LIST CPACK_COMPONENTS_ALL)
  return()
endif()
# Component packages stage each component in a directory of its own.
set(tree ${CPACK_TEMPORARY_DIRECTORY}/runtime/${CPACK_KV_ROOT})
if(NOT IS_DIRECTORY ${tree})
  set(tree ${CPACK_TEMPORARY_DIRECTORY}/${CPACK_KV_ROOT})
endif()
if(NOT IS_DIRECTORY ${tree})
  message(FATAL_ERROR "no staged ${CPACK_KV_ROOT}/ under ${CPACK_TEMPORARY_DIRECTORY}")
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}: ${rc}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# 1. Strip, keeping the debug information by build-id. A file without a build-id could not be
# matched with its debug information, so it stops the package.
set(debug_root ${CPACK_TOPLEVEL_DIRECTORY}/debug-${CPACK_PACKAGE_FILE_NAME})
file(REMOVE_RECURSE ${debug_root})
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/*)
list(SORT files)
foreach(file ${files})
  if(file MATCHES "^lib/" OR IS_SYMLINK ${tree}/${file})
    continue()
  endif()
  file(READ ${tree}/${file} magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    continue()
  endif()
  run(${CPACK_KV_READELF} -n ${tree}/${file})
  if(NOT out MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
    message(FATAL_ERROR "${file} has no build-id")
  endif()
  set(debug_name .build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug)
  set(debug_file ${debug_root}/${debug_name})
  file(MAKE_DIRECTORY ${debug_root}/.build-id/${CMAKE_MATCH_1})
  run(${CPACK_KV_OBJCOPY} --only-keep-debug ${tree}/${file} ${debug_file})
  run(${CPACK_KV_STRIP} --strip-unneeded --remove-section=.comment ${tree}/${file})
  run(${CPACK_KV_OBJCOPY} --add-gnu-debuglink=${debug_file} ${tree}/${file})
  message(STATUS "stripped ${file}: ${debug_name}")
endforeach()
if(NOT IS_DIRECTORY ${debug_root}/.build-id)
  message(FATAL_ERROR "no ELF file to strip in ${tree}")
endif()
set(debug_archive ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}-debug.tar.gz)
run(${CMAKE_COMMAND} -E chdir ${debug_root} ${CMAKE_COMMAND} -E tar czf ${debug_archive} .build-id)
message(STATUS "debug information: ${debug_archive}")

# 2. The manifest, completed last so that it sees the stripped files: its header, as installed,
# then one line per file.
file(STRINGS ${tree}/MANIFEST header REGEX "^#")
list(JOIN header "\n" manifest)
string(APPEND manifest "\n")
list(REMOVE_ITEM files MANIFEST)
foreach(file ${files})
  file(SHA256 ${tree}/${file} digest)
  string(APPEND manifest "${digest}  ${file}\n")
endforeach()
file(WRITE ${tree}/MANIFEST "${manifest}")
