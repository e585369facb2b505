# What is installed where. Four components:
#   runtime  the camera directory korva/: korvacore (finding its libraries in korva/lib), the log
#            plugin, the identity script, the product description, a README, the licences and a
#            MANIFEST; korvacore and the plugins stripped, their debug information packed apart;
#   samples  the other sample plugins, for a demonstration tree;
#   demo     the demonstration tree's core.xml;
#   sdk      the plugin SDK, for plugins built out of tree (cmake/Sdk.cmake).
# `cpack` packs the runtime component as korva-<version>-<arch>.tar.gz, <version> being the
# project version.
include(CMakePackageConfigHelpers)

set(kv_root korva)
set_target_properties(korvacore PROPERTIES INSTALL_RPATH "$ORIGIN/lib")
install(TARGETS korvacore RUNTIME DESTINATION ${kv_root} COMPONENT runtime)
install(TARGETS sample_logpi LIBRARY DESTINATION ${kv_root}/plugins COMPONENT runtime)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/get_id.sh DESTINATION ${kv_root}/scripts
        COMPONENT runtime)
# The product description carries the project version, like the core and the package name.
configure_file(config/product.xml.in ${PROJECT_BINARY_DIR}/generated/config/product.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/generated/config/product.xml DESTINATION ${kv_root}
        COMPONENT runtime)
install(DIRECTORY DESTINATION ${kv_root}/protected-plugins COMPONENT runtime)

# The oldest GNU C library the camera may carry: the highest GLIBC_x.y symbol version that any
# shipped file needs. Today that is libstdc++ of the cross toolchain (2.36); korvacore itself
# needs 2.34. The package test fails when a shipped file needs more, so raising it is deliberate.
set(KV_MIN_GLIBC 2.36)

# The shared libraries korvacore needs beyond the camera's C library, under their sonames, each
# with the licence text of the Debian package it comes from (libstdc++ and libgcc_s share one).
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${kv_root}/licenses RENAME korva.txt
        COMPONENT runtime)
foreach(entry libfmt.so.9:fmt libstdc++.so.6:gcc-runtime libgcc_s.so.1:gcc-runtime)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 soname)
  list(GET entry 1 licence)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${soname}
                  OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
    message(FATAL_ERROR "cannot find ${soname} for the package")
  endif()
  file(REAL_PATH "${found}" real)
  install(FILES ${real} DESTINATION ${kv_root}/lib RENAME ${soname} COMPONENT runtime)

  # With /lib merged into /usr/lib the package database may know the file by its /lib path.
  string(REGEX REPLACE "^/usr/lib/" "/lib/" unmerged ${real})
  foreach(path ${real} ${unmerged})
    execute_process(COMMAND dpkg-query -S ${path} OUTPUT_VARIABLE owner RESULT_VARIABLE rc
                    ERROR_QUIET)
    if(rc EQUAL 0)
      break()
    endif()
  endforeach()
  if(NOT rc EQUAL 0 OR NOT owner MATCHES "^([^:, ]+)")
    message(FATAL_ERROR "no Debian package owns ${real}: its licence is unknown")
  endif()
  set(copyright /usr/share/doc/${CMAKE_MATCH_1}/copyright)
  if(NOT EXISTS ${copyright})
    message(FATAL_ERROR "${CMAKE_MATCH_1} has no ${copyright}")
  endif()
  file(REAL_PATH ${copyright} copyright)
  if(DEFINED kv_licence_${licence} AND NOT kv_licence_${licence} STREQUAL copyright)
    message(FATAL_ERROR "${soname}: ${copyright} differs from ${kv_licence_${licence}}")
  endif()
  set(kv_licence_${licence} ${copyright})
endforeach()
install(FILES ${kv_licence_fmt} DESTINATION ${kv_root}/licenses RENAME fmt.txt COMPONENT runtime)
install(FILES ${kv_licence_gcc-runtime} DESTINATION ${kv_root}/licenses RENAME gcc-runtime.txt
        COMPONENT runtime)
# The GCC runtime's copyright names the GPL version 3 and carries only the exception in full.
install(FILES /usr/share/common-licenses/GPL-3 DESTINATION ${kv_root}/licenses RENAME GPL-3.txt
        COMPONENT runtime)

install(TARGETS sample_camsim sample_recorder sample_searchclient
        LIBRARY DESTINATION ${kv_root}/plugins COMPONENT samples)
# The demonstration tree's core.xml, so that its first run starts from a configuration.
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo/core.xml DESTINATION ${kv_root} COMPONENT demo)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(kv_arch armhf)
else()
  set(kv_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
# MANIFEST is installed with its header only: cpack adds the digests once the tree is final (an
# archive packs only the files installed, so the pre-build script can't add one of its own).
foreach(file README MANIFEST)
  configure_file(cmake/package/${file}.in ${PROJECT_BINARY_DIR}/generated/package/${file} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/generated/package/${file} DESTINATION ${kv_root}
          COMPONENT runtime)
endforeach()
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME korva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME korva-${PROJECT_VERSION}-${kv_arch})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
# On the staged runtime tree, before it is packed: strip korvacore and the plugins, their debug
# information going to korva-<version>-<arch>-debug.tar.gz beside the package; complete MANIFEST.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package/FinishRuntime.cmake)
set(CPACK_KV_ROOT ${kv_root})
set(CPACK_KV_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_KV_STRIP ${CMAKE_STRIP})
set(CPACK_KV_READELF ${CMAKE_READELF})
include(CPack)
