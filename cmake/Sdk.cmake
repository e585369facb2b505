# The plugin SDK, install component `sdk`: everything a plugin author needs to build and check a
# plugin out of tree. Included by the full build and by the SDK-only build (KV_SDK_ONLY). `make
# sdk` installs the component of a host and an armhf SDK-only build into one tree and packs it,
# so whatever differs between the two architectures goes under lib/<multiarch> (KV_SDK_LIBDIR) or
# is installed by the host build alone; the rest is the same from either build.
#   include/korva/            the public plugin headers, rooted as in this tree
#   lib/cmake/korva/          the CMake package (korva::plugin_sdk)
#   share/pkgconfig/          korva-plugin.pc: the headers and the language level, no library
#   share/korva/toolchains/   the camera's cross toolchain file
#   share/doc/korva/          the plugin guides
#   bin/korva-inspect         the inspector, host builds only
#   bin/korva-new-plugin      a new plugin from the skeleton in share/korva/skeleton/
include(CMakePackageConfigHelpers)

if(NOT CMAKE_LIBRARY_ARCHITECTURE)
  message(FATAL_ERROR "no multiarch name for ${CMAKE_CXX_COMPILER}: the SDK's libraries need one")
endif()
set(KV_SDK_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})

install(FILES ${PROJECT_SOURCE_DIR}/events/EventParms.h ${PROJECT_SOURCE_DIR}/events/EventClasses.h
        DESTINATION include/korva/events COMPONENT sdk)
install(FILES ${PROJECT_SOURCE_DIR}/plugins/PluginAbi.h ${PROJECT_SOURCE_DIR}/plugins/PluginEntry.h
              ${PROJECT_SOURCE_DIR}/plugins/IpcPacket.h ${PROJECT_SOURCE_DIR}/plugins/EntryGuard.h
              ${PROJECT_BINARY_DIR}/generated/plugins/SdkVersion.h
        DESTINATION include/korva/plugins COMPONENT sdk)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/korvaConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/sdk/korvaConfig.cmake
                              INSTALL_DESTINATION lib/cmake/korva)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/sdk/korvaConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION}
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/sdk/korvaConfig.cmake
              ${PROJECT_BINARY_DIR}/sdk/korvaConfigVersion.cmake
        DESTINATION lib/cmake/korva COMPONENT sdk)

# Relocatable: the prefix is found from the file's own place, wherever the SDK is unpacked.
configure_file(${PROJECT_SOURCE_DIR}/cmake/korva-plugin.pc.in
               ${PROJECT_BINARY_DIR}/sdk/korva-plugin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sdk/korva-plugin.pc DESTINATION share/pkgconfig COMPONENT sdk)

install(FILES ${PROJECT_SOURCE_DIR}/cmake/toolchains/armhf.cmake
        DESTINATION share/korva/toolchains COMPONENT sdk)

foreach(guide plugin-guide.md plugin-testing.md)
  if(EXISTS ${PROJECT_SOURCE_DIR}/docs/${guide})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/${guide} DESTINATION share/doc/korva COMPONENT sdk)
  endif()
endforeach()
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT sdk)
endif()

install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/korva-new-plugin DESTINATION bin COMPONENT sdk)
install(FILES ${PROJECT_SOURCE_DIR}/examples/skeleton/Skeleton.cpp
              ${PROJECT_SOURCE_DIR}/examples/skeleton/SkeletonTest.cpp
              ${PROJECT_SOURCE_DIR}/examples/skeleton/CMakeLists.txt
        DESTINATION share/korva/skeleton COMPONENT sdk)

# One bin/ serves both architectures of the tree: the inspector runs on the development machine.
if(NOT CMAKE_CROSSCOMPILING)
  install(TARGETS korva-inspect RUNTIME DESTINATION bin COMPONENT sdk)
endif()
