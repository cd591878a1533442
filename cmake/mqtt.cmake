# The MQTT publisher of the weight service (libmosquitto) and its tests
# against a real broker (Debian's mosquitto, started by the tests).
if(WIN32)
  return()
endif()
include(${CMAKE_SOURCE_DIR}/cmake/requirements.cmake)

find_package(Qt6 COMPONENTS Core Network QUIET)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(MOSQUITTO IMPORTED_TARGET libmosquitto)
endif()
if(NOT Qt6Network_FOUND OR NOT MOSQUITTO_FOUND)
  orva_part_missing("MQTT publisher" "libmosquitto-dev qt6-base-dev pkg-config" "libmosquitto or Qt 6 Network not found")
  return()
endif()
add_subdirectory(${CMAKE_SOURCE_DIR}/service/mqtt ${CMAKE_BINARY_DIR}/service/mqtt)

if(ORVA_BUILD_TESTS AND BUILD_TESTING)
  find_program(ORVA_MOSQUITTO mosquitto PATHS /usr/sbin /usr/local/sbin)
  find_program(ORVA_MOSQUITTO_PASSWD mosquitto_passwd)
  # Debian's python3-paho-mqtt belongs to the system's interpreter, which a
  # python3 earlier in PATH (a virtual environment, pyenv) may not be.
  find_program(ORVA_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(ORVA_SYSTEM_PYTHON3 python3)
  set(_paho FALSE)
  if(ORVA_SYSTEM_PYTHON3)
    execute_process(COMMAND ${ORVA_SYSTEM_PYTHON3} -c "import paho.mqtt.client"
                    RESULT_VARIABLE _paho_rc OUTPUT_QUIET ERROR_QUIET)
    if(_paho_rc EQUAL 0)
      set(_paho TRUE)
    endif()
  endif()
  if(NOT ORVA_MOSQUITTO OR NOT ORVA_MOSQUITTO_PASSWD OR NOT _paho)
    orva_part_missing("MQTT tests" "mosquitto python3-paho-mqtt"
                      "the broker, mosquitto_passwd or Python's paho.mqtt is missing")
  else()
    add_subdirectory(${CMAKE_SOURCE_DIR}/tests/mqtt ${CMAKE_BINARY_DIR}/tests/mqtt)
  endif()
endif()
