# The weight service (orva-service): its own HTTP layer and Qt WebSockets on top
# of the Linux runtime, its tests against real clients (curl, Python's
# websocket module, headless chromium, socat) and the fuzz target of its
# request handling.
if(WIN32 OR NOT TARGET orva_host)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/requirements.cmake)

find_package(Qt6 COMPONENTS Network WebSockets QUIET)
if(NOT Qt6WebSockets_FOUND)
  orva_part_missing(service "qt6-websockets-dev" "Qt WebSockets is missing")
  return()
endif()
if(NOT TARGET orva_mqtt)
  orva_part_missing(service "libmosquitto-dev" "its MQTT publisher (cmake/mqtt.cmake) cannot be built")
  return()
endif()
# Its Modbus TCP face (service/modbus/).
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(MODBUS IMPORTED_TARGET libmodbus)
endif()
if(NOT MODBUS_FOUND)
  orva_part_missing(service "libmodbus-dev pkg-config" "its Modbus TCP face needs libmodbus")
  return()
endif()
add_subdirectory(${CMAKE_SOURCE_DIR}/service ${CMAKE_BINARY_DIR}/service)
if(ORVA_BUILD_TESTS AND BUILD_TESTING)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/service ${CMAKE_BINARY_DIR}/tests/service)
endif()
