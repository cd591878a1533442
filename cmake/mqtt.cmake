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

# What the journal costs per settled weight (bench/journal_bench.cpp).
if(ORVA_BUILD_BENCH)
  find_package(benchmark REQUIRED)
  add_executable(orva_journal_bench ${CMAKE_SOURCE_DIR}/bench/journal_bench.cpp)
  target_link_libraries(orva_journal_bench PRIVATE orva_mqtt benchmark::benchmark)
  orva_warnings(orva_journal_bench)
endif()

# The service's own test over the broker needs the service, which is read
# after this file (what ties the publisher to the scales is built into it:
# service/mqtt/mqtt_face.cpp), so look at the end of the project.
function(orva_mqtt_service_parts)
  if(NOT TARGET orva_service)
    return()
  endif()
  if(TARGET orva_mqtt_tests)
    target_sources(orva_mqtt_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/mqtt/service_broker_test.cpp)
    target_compile_definitions(orva_mqtt_tests PRIVATE ORVA_SERVICE_BIN="$<TARGET_FILE:orva-service>")
    add_dependencies(orva_mqtt_tests orva-service)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL orva_mqtt_service_parts)

if(ORVA_BUILD_TESTS AND BUILD_TESTING)
  find_program(ORVA_MOSQUITTO mosquitto PATHS /usr/sbin /usr/local/sbin)
  find_program(ORVA_MOSQUITTO_PASSWD mosquitto_passwd)
  find_program(ORVA_OPENSSL openssl)
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
  if(NOT ORVA_MOSQUITTO OR NOT ORVA_MOSQUITTO_PASSWD OR NOT ORVA_OPENSSL OR NOT _paho)
    orva_part_missing("MQTT tests" "mosquitto mosquitto-clients python3-paho-mqtt openssl"
                      "the broker, mosquitto_passwd, openssl or Python's paho.mqtt is missing")
  else()
    add_subdirectory(${CMAKE_SOURCE_DIR}/tests/mqtt ${CMAKE_BINARY_DIR}/tests/mqtt)
  endif()
endif()
