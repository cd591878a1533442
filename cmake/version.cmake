# One version for everything: the programs' --version, the Windows module's
# version block, the installer and the packages all read PROJECT_VERSION
# through the generated header orva/version.h (plain defines, so that the
# resource compiler can read it as well as C++).
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/orva/version.h CONTENT [[
#pragma once
/* Generated from the project's version; do not edit. */
#define ORVA_VERSION_MAJOR @PROJECT_VERSION_MAJOR@
#define ORVA_VERSION_MINOR @PROJECT_VERSION_MINOR@
#define ORVA_VERSION_PATCH @PROJECT_VERSION_PATCH@
#define ORVA_VERSION_STRING "@PROJECT_VERSION@"
]] @ONLY)
add_library(orva_version INTERFACE)
target_include_directories(orva_version INTERFACE $<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/generated>)
