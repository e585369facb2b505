# The SDK tarball of `make sdk` as a plugin author gets it, with nothing of the source tree: unpack
# it, take the first plugin of its own guide, build it with find_package, with pkg-config and for
# the camera with the SDK's toolchain file, inspect it with the SDK's korva-inspect, test it on the
# SDK's test kit (with the testing guide's example and a plugin made by korva-new-plugin), and run
# it in a demonstration tree staged from this build under korvad-sim.
# Arguments: TARBALL, BUILD_DIR (this build, for the demonstration tree), WORK_DIR, SIM, CXX.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/unpacked)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out
                  TIMEOUT 120)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

if(NOT EXISTS ${TARBALL})
  message(FATAL_ERROR "no SDK tarball ${TARBALL}: `make sdk` builds it")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xzf ${TARBALL}
                WORKING_DIRECTORY ${WORK_DIR}/unpacked RESULT_VARIABLE rc)
file(GLOB top LIST_DIRECTORIES true ${WORK_DIR}/unpacked/*)
list(LENGTH top count)
if(NOT rc EQUAL 0 OR NOT count EQUAL 1)
  message(FATAL_ERROR "the tarball doesn't unpack to one directory: ${top}")
endif()
set(sdk ${top})

foreach(file include/korva/events/EventParms.h include/korva/events/EventClasses.h
             include/korva/plugins/PluginAbi.h include/korva/plugins/PluginEntry.h
             include/korva/plugins/IpcPacket.h include/korva/plugins/EntryGuard.h
             include/korva/plugins/SdkVersion.h lib/cmake/korva/korvaConfig.cmake
             lib/cmake/korva/korvaConfigVersion.cmake share/pkgconfig/korva-plugin.pc
             share/korva/toolchains/armhf.cmake share/doc/korva/plugin-guide.md bin/korva-inspect)
  if(NOT EXISTS ${sdk}/${file})
    message(FATAL_ERROR "the SDK lacks ${file}")
  endif()
endforeach()
# Whatever differs between the architectures lives under lib/<multiarch>, and both are there.
file(GLOB archives RELATIVE ${sdk}/lib ${sdk}/lib/*/*.a)
foreach(archive IN LISTS archives)
  get_filename_component(name ${archive} NAME)
  foreach(multiarch x86_64-linux-gnu arm-linux-gnueabihf)
    if(NOT EXISTS ${sdk}/lib/${multiarch}/${name})
      message(FATAL_ERROR "the SDK has ${archive} but no lib/${multiarch}/${name}")
    endif()
  endforeach()
endforeach()

# The package picks the archives of the architecture being built for.
if(archives)
  file(WRITE ${WORK_DIR}/probe/CMakeLists.txt [=[
cmake_minimum_required(VERSION 3.25)
project(probe CXX)
find_package(korva REQUIRED)
get_property(targets DIRECTORY PROPERTY IMPORTED_TARGETS)
foreach(target IN LISTS targets)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    get_target_property(location ${target} LOCATION)
    message(STATUS "archive ${target}: ${location}")
  endif()
endforeach()
]=])
  foreach(multiarch x86_64-linux-gnu arm-linux-gnueabihf)
    set(toolchain)
    if(multiarch STREQUAL "arm-linux-gnueabihf")
      set(toolchain -DCMAKE_TOOLCHAIN_FILE=${sdk}/share/korva/toolchains/armhf.cmake)
    endif()
    run("configuring the archive probe for ${multiarch}" ${CMAKE_COMMAND} -S ${WORK_DIR}/probe
        -B ${WORK_DIR}/probe-${multiarch} -G Ninja ${toolchain} -DCMAKE_PREFIX_PATH=${sdk})
    string(REGEX MATCHALL "archive [^\n]*" found "${out}")
    if(NOT found)
      message(FATAL_ERROR "the package imports none of the archives for ${multiarch}:\n${out}")
    endif()
    foreach(line IN LISTS found)
      if(NOT line MATCHES "/lib/${multiarch}/")
        message(FATAL_ERROR "for ${multiarch} the package picks the wrong archive: ${line}")
      endif()
    endforeach()
  endforeach()
endif()

# The guides' blocks marked <!-- sdk-test: PATH -->, each written to PATH.
foreach(guide_file plugin-guide.md plugin-testing.md)
  file(READ ${sdk}/share/doc/korva/${guide_file} guide)
  string(REGEX MATCHALL "<!-- sdk-test: [^ ]+ -->" markers "${guide}")
  foreach(marker IN LISTS markers)
    string(REGEX REPLACE "<!-- sdk-test: ([^ ]+) -->" "\\1" path "${marker}")
    string(FIND "${guide}" "${marker}" at)
    string(SUBSTRING "${guide}" ${at} -1 rest)
    string(FIND "${rest}" "```" fence)
    string(SUBSTRING "${rest}" ${fence} -1 rest)
    string(FIND "${rest}" "\n" line_end)
    math(EXPR line_end "${line_end} + 1")
    string(SUBSTRING "${rest}" ${line_end} -1 rest)
    string(FIND "${rest}" "\n```" block_end)
    if(fence EQUAL -1 OR block_end EQUAL -1)
      message(FATAL_ERROR "no fenced block after ${marker} in ${guide_file}")
    endif()
    string(SUBSTRING "${rest}" 0 ${block_end} block)
    file(WRITE ${WORK_DIR}/guide/${path} "${block}\n")
  endforeach()
endforeach()
foreach(file hello/hello.cpp hello/CMakeLists.txt keeper/keeper.cpp keeper/keeper_test.cpp
             keeper/CMakeLists.txt)
  if(NOT EXISTS ${WORK_DIR}/guide/${file})
    message(FATAL_ERROR "the guides mark no block for ${file}")
  endif()
endforeach()
set(hello ${WORK_DIR}/guide/hello)

# 1. CMake and find_package, for the host.
run("configuring hello for the host" ${CMAKE_COMMAND} -S ${hello} -B ${WORK_DIR}/host -G Ninja
    -DCMAKE_PREFIX_PATH=${sdk} -DCMAKE_BUILD_TYPE=Release)
run("building hello for the host" ${CMAKE_COMMAND} --build ${WORK_DIR}/host)
set(host_plugin ${WORK_DIR}/host/hello.so)

# 2. pkg-config and the compiler alone.
run("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${sdk}/share/pkgconfig
    pkg-config --cflags korva-plugin)
string(STRIP "${out}" cflags)
separate_arguments(cflags UNIX_COMMAND "${cflags}")
run("compiling hello with pkg-config" ${CXX} ${cflags} -shared -fPIC -o ${WORK_DIR}/hello-pc.so
    ${hello}/hello.cpp)

# 3. The camera, with the SDK's toolchain file: a 32-bit ARM shared object.
run("configuring hello for armhf" ${CMAKE_COMMAND} -S ${hello} -B ${WORK_DIR}/armhf -G Ninja
    -DCMAKE_TOOLCHAIN_FILE=${sdk}/share/korva/toolchains/armhf.cmake -DCMAKE_PREFIX_PATH=${sdk}
    -DCMAKE_BUILD_TYPE=Release)
run("building hello for armhf" ${CMAKE_COMMAND} --build ${WORK_DIR}/armhf)
# ELF class 1 (32-bit) at byte 4, machine 0x28 (ARM) at byte 18.
file(READ ${WORK_DIR}/armhf/hello.so elf LIMIT 20 HEX)
if(NOT elf MATCHES "^7f454c4601" OR NOT elf MATCHES "2800$")
  message(FATAL_ERROR "armhf hello.so is no 32-bit ARM object: ${elf}")
endif()

# 4. The SDK's inspector on both host builds: ID 42 with live alarms and nothing else.
foreach(plugin ${host_plugin} ${WORK_DIR}/hello-pc.so)
  run("korva-inspect ${plugin}" ${sdk}/bin/korva-inspect ${plugin})
  foreach(expected "plugin ID +42\n" "address word +0x00420000\n" "alarm +0x02000000  live\n"
                   "video +0x00000000  none\n" "IOCTL codes +none\n" "OnEvent +exported")
    if(NOT out MATCHES "${expected}")
      message(FATAL_ERROR "korva-inspect ${plugin} doesn't say '${expected}':\n${out}")
    endif()
  endforeach()
endforeach()
# ... and the camera build is refused on the host, as the core would refuse it.
execute_process(COMMAND ${sdk}/bin/korva-inspect ${WORK_DIR}/armhf/hello.so
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 1 OR NOT out MATCHES "Failed to load plugin hello.so: .*load code 79")
  message(FATAL_ERROR "korva-inspect on the armhf build ended with ${rc}:\n${out}")
endif()

# 5. The test kit: hello in a test of its own, the testing guide's example with its test, and a
# plugin made by korva-new-plugin with the skeleton's test, each built and run against the SDK.
file(WRITE ${WORK_DIR}/hello-test/hello_test.cpp [=[
#include <gtest/gtest.h>

#include "testkit/PluginHarness.h"

using namespace kv::core;

TEST(Hello, LogsEachLiveAlarmAndKeepsNothing) {
  kv::testkit::PluginHarness harness(HELLO_PATH);
  ASSERT_TRUE(harness.loaded()) << harness.errorText();
  EXPECT_EQ(harness.pluginId(), 0x42u);
  ASSERT_EQ(harness.open(), 0);
  EXPECT_EQ(harness.deliver(makeEventRecord(kTypeAlarm, kFlagLive, makeAddress(0x10)), "<A/>"), 0);
  const auto lines = harness.logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "alarm seen");
  EXPECT_EQ(lines[0].level, 50);
  harness.close();
  harness.unload();
  EXPECT_EQ(harness.heldReferences(), 0u);
}
]=])
file(WRITE ${WORK_DIR}/hello-test/CMakeLists.txt [=[
cmake_minimum_required(VERSION 3.25)
project(hello_test CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(korva REQUIRED)
find_package(GTest REQUIRED)
enable_testing()
add_executable(hello_test hello_test.cpp)
target_link_libraries(hello_test PRIVATE korva::plugin_testkit GTest::gtest_main)
target_compile_definitions(hello_test PRIVATE HELLO_PATH="${HELLO_PATH}")
add_test(NAME hello_test COMMAND hello_test)
]=])
run("korva-new-plugin" ${sdk}/bin/korva-new-plugin Doorbell 0x55 ${WORK_DIR}/doorbell)
foreach(project hello-test guide/keeper doorbell)
  string(REPLACE "/" "-" build ${project})
  run("configuring ${project}" ${CMAKE_COMMAND} -S ${WORK_DIR}/${project}
      -B ${WORK_DIR}/build-${build} -G Ninja -DCMAKE_PREFIX_PATH=${sdk}
      -DCMAKE_BUILD_TYPE=Release -DHELLO_PATH=${host_plugin})
  run("building ${project}" ${CMAKE_COMMAND} --build ${WORK_DIR}/build-${build})
  run("testing ${project}" ${CMAKE_CTEST_COMMAND} --test-dir ${WORK_DIR}/build-${build}
      --output-on-failure)
  if(NOT out MATCHES "100% tests passed, 0 tests failed out of [1-9]")
    message(FATAL_ERROR "${project}: no test ran:\n${out}")
  endif()
endforeach()
run("korva-inspect Doorbell.so" ${sdk}/bin/korva-inspect ${WORK_DIR}/build-doorbell/Doorbell.so)
if(NOT out MATCHES "plugin ID +55\n")
  message(FATAL_ERROR "the new plugin doesn't have ID 55:\n${out}")
endif()

# 6. A demonstration tree of this build with hello.so beside the samples; the camera sample
# raises an alarm every second.
set(stage ${WORK_DIR}/demo)
foreach(component runtime samples)
  run("staging ${component}" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${stage}
      --component ${component})
endforeach()
file(COPY ${host_plugin} DESTINATION ${stage}/korva/plugins)
file(WRITE ${stage}/korva/plugins/CamSim.so.conf "alarmSeconds=1\n")
run("the demonstration" ${SIM} --dir ${stage}/korva --seconds 4)
file(WRITE ${WORK_DIR}/demo-output.txt "${out}")
if(NOT out MATCHES "Loaded plugin 42:hello")
  message(FATAL_ERROR "the core didn't load hello.so (output in ${WORK_DIR}/demo-output.txt)")
endif()
if(NOT out MATCHES "hello[^\n]*alarm seen")
  message(FATAL_ERROR "no alarm line from hello (output in ${WORK_DIR}/demo-output.txt)")
endif()
message(STATUS "sdk tarball: 1 passed, 0 failed")
