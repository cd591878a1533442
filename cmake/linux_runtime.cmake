# The Linux runtime: the platform seams on Qt 6, the panel widget, the
# terminal simulator and the two hosts, with their integration tests.
# Quietly absent when Qt 6 (with its serial port module) is not installed.
if(WIN32)
  return()
endif()

find_package(Qt6 COMPONENTS Core Gui Widgets SerialPort QUIET)
if(NOT Qt6_FOUND)
  message(STATUS "Qt 6 not found: the Linux runtime is not built")
  return()
endif()
message(STATUS "Linux runtime: Qt ${Qt6_VERSION}")

set(ORVA_TOOLS_OUTPUT_DIR ${CMAKE_BINARY_DIR}/tools)

add_subdirectory(platform/qt)
add_subdirectory(panel/qt)
add_subdirectory(tools/sim)
add_subdirectory(tools/hosts)
add_subdirectory(tools/monitor)
add_subdirectory(tools/panel)
if(ORVA_BUILD_TESTS AND BUILD_TESTING)
  add_subdirectory(tests/integration)
  add_subdirectory(tests/qt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/faults ${CMAKE_BINARY_DIR}/tests/faults)
endif()
