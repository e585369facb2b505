# What is installed where. Three components:
#   runtime  the camera directory korva/: korvacore (finding its libraries in korva/lib), the log
#            plugin, the identity script and the product description;
#   samples  the other sample plugins, for a demonstration tree;
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

# The shared libraries korvacore needs beyond the camera's C library, under their sonames.
foreach(soname libfmt.so.9 libstdc++.so.6 libgcc_s.so.1)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${soname}
                  OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
    message(FATAL_ERROR "cannot find ${soname} for the package")
  endif()
  file(REAL_PATH "${found}" real)
  install(FILES ${real} DESTINATION ${kv_root}/lib RENAME ${soname} COMPONENT runtime)
endforeach()

install(TARGETS sample_camsim sample_recorder sample_searchclient
        LIBRARY DESTINATION ${kv_root}/plugins COMPONENT samples)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(kv_arch armhf)
else()
  set(kv_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME korva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME korva-${PROJECT_VERSION}-${kv_arch})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
include(CPack)
