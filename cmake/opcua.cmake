# The OPC UA gateway (orva-opcua, gateways/opcua/): a Node.js program beside the
# service. Its modules come from the npm registry exactly as package-lock.json
# pins them (`npm ci`), into <build>/gateways/opcua/node_modules; the source
# tree stays clean. Its tests (label "opcua", `node --test`) run it against the
# real service and simulated terminals.
if(WIN32 OR NOT TARGET orva-service)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/requirements.cmake)

set(ORVA_OPCUA_SOURCE ${CMAKE_SOURCE_DIR}/gateways/opcua)
set(ORVA_OPCUA_BUILD ${CMAKE_BINARY_DIR}/gateways/opcua)

# The gateway names itself with the project's version.
file(READ ${ORVA_OPCUA_SOURCE}/package.json _orva_opcua_package)
string(JSON _orva_opcua_version GET "${_orva_opcua_package}" version)
if(NOT _orva_opcua_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "gateways/opcua/package.json says version ${_orva_opcua_version}, the project ${PROJECT_VERSION}")
endif()

find_program(ORVA_NODE node)
find_program(ORVA_NPM npm)
set(ORVA_OPCUA_FOUND FALSE)
if(ORVA_NODE AND ORVA_NPM)
  execute_process(COMMAND ${ORVA_NODE} -p "process.versions.node.split('.')[0]" OUTPUT_VARIABLE _orva_node_major
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _orva_node_failed)
  if(NOT _orva_node_failed AND _orva_node_major GREATER_EQUAL 20)
    set(ORVA_OPCUA_FOUND TRUE)
  endif()
endif()
if(NOT ORVA_OPCUA_FOUND)
  orva_part_missing("OPC UA gateway" "nodejs (20 or later, with npm)" "node 20 or later and npm were not found")
  return()
endif()

configure_file(${ORVA_OPCUA_SOURCE}/package.json ${ORVA_OPCUA_BUILD}/package.json COPYONLY)
configure_file(${ORVA_OPCUA_SOURCE}/package-lock.json ${ORVA_OPCUA_BUILD}/package-lock.json COPYONLY)
set(ORVA_OPCUA_MODULES_STAMP ${ORVA_OPCUA_BUILD}/node_modules/.orva-installed)
add_custom_command(
  OUTPUT ${ORVA_OPCUA_MODULES_STAMP}
  COMMAND ${ORVA_NPM} ci --omit=dev --no-audit --no-fund --ignore-scripts --prefix ${ORVA_OPCUA_BUILD}
  COMMAND ${CMAKE_COMMAND} -E touch ${ORVA_OPCUA_MODULES_STAMP}
  DEPENDS ${ORVA_OPCUA_BUILD}/package-lock.json
  COMMENT "The OPC UA gateway's modules from the npm registry (npm ci)"
  VERBATIM)
# Not part of "all": only the gateway's tests and its package need the
# registry.
add_custom_target(orva_opcua_modules DEPENDS ${ORVA_OPCUA_MODULES_STAMP})

if(ORVA_BUILD_TESTS AND BUILD_TESTING)
  add_test(NAME opcua.modules COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target orva_opcua_modules)
  set_tests_properties(opcua.modules PROPERTIES LABELS opcua TIMEOUT 600 FIXTURES_SETUP orva_opcua_modules
                       RESOURCE_LOCK orva_opcua_modules)
  set(_orva_opcua_env "NODE_PATH=${ORVA_OPCUA_BUILD}/node_modules" "ORVA_TOOLS_DIR=${ORVA_TOOLS_OUTPUT_DIR}")
  foreach(_orva_opcua_test units service-link gateway security tls)
    add_test(NAME opcua.${_orva_opcua_test}
      COMMAND ${ORVA_NODE} --test --test-force-exit test/${_orva_opcua_test}.test.js
      WORKING_DIRECTORY ${ORVA_OPCUA_SOURCE})
    set_tests_properties(opcua.${_orva_opcua_test} PROPERTIES LABELS opcua TIMEOUT 240
                         FIXTURES_REQUIRED orva_opcua_modules ENVIRONMENT "${_orva_opcua_env}")
  endforeach()
endif()
