# The project's version as a header, build/generated/orva/version.h, for
# every program (--version) and package: link orva_version and
# #include "orva/version.h". ORVA_VERSION_STRING is PROJECT_VERSION.
if(PROJECT_VERSION_MINOR STREQUAL "")
  set(ORVA_VERSION_MINOR_NUMBER 0)
else()
  set(ORVA_VERSION_MINOR_NUMBER ${PROJECT_VERSION_MINOR})
endif()
if(PROJECT_VERSION_PATCH STREQUAL "")
  set(ORVA_VERSION_PATCH_NUMBER 0)
else()
  set(ORVA_VERSION_PATCH_NUMBER ${PROJECT_VERSION_PATCH})
endif()
set(ORVA_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${ORVA_GENERATED_DIR}/orva/version.h @ONLY)
add_library(orva_version INTERFACE)
target_include_directories(orva_version INTERFACE $<BUILD_INTERFACE:${ORVA_GENERATED_DIR}>)
