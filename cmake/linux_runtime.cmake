# The Linux runtime: the platform seams on Qt 6, the panel widget, the
# terminal simulator and the two hosts, with their integration tests.
# Without Qt 6 (and its serial port module) it is left out with a warning,
# or stops the configure when ORVA_REQUIRE_ALL is ON.
if(WIN32)
  return()
endif()

find_package(Qt6 COMPONENTS Core Gui Widgets SerialPort QUIET)
if(NOT Qt6_FOUND)
  include(${CMAKE_CURRENT_LIST_DIR}/requirements.cmake)
  orva_part_missing("Linux runtime" "qt6-base-dev qt6-serialport-dev libgl-dev" "Qt 6 with its serial port module not found")
  return()
endif()
message(STATUS "Linux runtime: Qt ${Qt6_VERSION}")

set(ORVA_TOOLS_OUTPUT_DIR ${CMAKE_BINARY_DIR}/tools)

add_subdirectory(platform/qt)
add_subdirectory(panel/qt)
add_subdirectory(simulator)
add_subdirectory(hosts/qt)
add_subdirectory(tools/sim)
add_subdirectory(tools/monitor)
add_subdirectory(tools/panel)
if(ORVA_BUILD_TESTS AND BUILD_TESTING)
  add_subdirectory(tests/integration)
  add_subdirectory(tests/qt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/faults ${CMAKE_BINARY_DIR}/tests/faults)
endif()
