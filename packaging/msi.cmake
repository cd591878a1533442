# The two Windows installers, ActiveX_ORVA-<version>-<arch>.msi, built by
# wixl from the cross-built modules of cmake/windows_ocx.cmake, and their
# tests under Wine (label "package").

if(DEFINED ORVA_WITH_WINDOWS AND NOT ORVA_WITH_WINDOWS)
  message(STATUS "Windows installer: left out with the control (ORVA_WITH_WINDOWS=OFF)")
  return()
endif()
if(NOT DEFINED ORVA_OCX_DIR_i686 OR NOT DEFINED ORVA_OCX_DIR_x86_64)
  orva_part_missing("Windows installer" "g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools wine64-tools"
                    "the ActiveX control is not built")
  return()
endif()
find_program(ORVA_WIXL wixl)
if(NOT ORVA_WIXL)
  orva_part_missing("Windows installer" "wixl msitools" "wixl not found")
  return()
endif()

# Native helper: the installer's registry rows from the registration table.
add_executable(orva_wxs_registry ${CMAKE_SOURCE_DIR}/packaging/wxs_registry.cpp)
target_include_directories(orva_wxs_registry PRIVATE ${CMAKE_SOURCE_DIR})
orva_warnings(orva_wxs_registry)

set(ORVA_MSI_i686_BITS 32)
set(ORVA_MSI_i686_PLATFORM x86)
set(ORVA_MSI_i686_PROGRAM_FILES ProgramFilesFolder)
set(ORVA_MSI_i686_WIN64 no)
set(ORVA_MSI_i686_TABLE win32)
# Fixed for ever: the upgrade code ties every version of one architecture's
# installer together, the component code the installed module.
set(ORVA_MSI_i686_UPGRADE_CODE 8E7B3C0A-52D4-4B7E-9C1F-2A6D0E4F1B31)
set(ORVA_MSI_i686_COMPONENT 0C4B6E2F-9A31-4D57-8E06-B1F3C2A7D932)
set(ORVA_MSI_x86_64_BITS 64)
set(ORVA_MSI_x86_64_PLATFORM x64)
set(ORVA_MSI_x86_64_PROGRAM_FILES ProgramFiles64Folder)
set(ORVA_MSI_x86_64_WIN64 yes)
set(ORVA_MSI_x86_64_TABLE win64)
set(ORVA_MSI_x86_64_UPGRADE_CODE 5F1D8A27-3C6B-4E90-A4D2-7B0E9C1F6A43)
set(ORVA_MSI_x86_64_COMPONENT E2A95C14-6F07-4B3D-91C8-3D5A7E0B2F54)

set(ORVA_MSI_FILES "")
foreach(_orva_arch i686 x86_64)
  set(_orva_dir ${CMAKE_BINARY_DIR}/msi-${_orva_arch})
  foreach(_orva_var BITS PLATFORM PROGRAM_FILES WIN64 UPGRADE_CODE COMPONENT)
    set(ORVA_MSI_${_orva_var} ${ORVA_MSI_${_orva_arch}_${_orva_var}})
  endforeach()
  set(ORVA_MSI_OCX ${ORVA_OCX_DIR_${_orva_arch}}/ActiveX_ORVA.ocx)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/ActiveX_ORVA.wxs.in ${_orva_dir}/ActiveX_ORVA.wxs @ONLY)
  add_custom_command(
    OUTPUT ${_orva_dir}/registry.wxi
    COMMAND orva_wxs_registry ${CMAKE_SOURCE_DIR}/control/ocx/ActiveX_ORVA.idl ${ORVA_MSI_${_orva_arch}_TABLE}
            ActiveX_ORVA.ocx ${_orva_dir}/registry.wxi
    DEPENDS orva_wxs_registry ${CMAKE_SOURCE_DIR}/control/ocx/ActiveX_ORVA.idl
            ${CMAKE_SOURCE_DIR}/control/ocx/registration_table.h
    COMMENT "Installer registry rows (${_orva_arch})"
    VERBATIM)
  # The module as shipped: without its debugging information.
  find_program(ORVA_STRIP_${_orva_arch} ${_orva_arch}-w64-mingw32-strip REQUIRED)
  add_custom_command(
    OUTPUT ${_orva_dir}/ActiveX_ORVA.ocx
    COMMAND ${ORVA_STRIP_${_orva_arch}} --strip-debug -o ${_orva_dir}/ActiveX_ORVA.ocx ${ORVA_MSI_OCX}
    DEPENDS ${ORVA_MSI_OCX}
    COMMENT "The module to ship (${_orva_arch})"
    VERBATIM)
  set(_orva_msi ${CMAKE_BINARY_DIR}/ActiveX_ORVA-${PROJECT_VERSION}-${_orva_arch}.msi)
  add_custom_command(
    OUTPUT ${_orva_msi}
    COMMAND ${ORVA_WIXL} -a ${ORVA_MSI_PLATFORM} -I ${_orva_dir} -o ${_orva_msi} ${_orva_dir}/ActiveX_ORVA.wxs
    DEPENDS ${_orva_dir}/ActiveX_ORVA.wxs ${_orva_dir}/registry.wxi ${_orva_dir}/ActiveX_ORVA.ocx
    WORKING_DIRECTORY ${_orva_dir}
    COMMENT "wixl: ActiveX_ORVA-${PROJECT_VERSION}-${_orva_arch}.msi"
    VERBATIM)
  add_custom_target(orva_msi_${_orva_arch} ALL DEPENDS ${_orva_msi})
  # The module comes from an external project: a target-level dependency.
  add_dependencies(orva_msi_${_orva_arch} orva_ocx_${_orva_arch})
  set(ORVA_MSI_${_orva_arch} ${_orva_msi})
endforeach()
add_custom_target(orva_msi DEPENDS orva_msi_i686 orva_msi_x86_64)

# Installed and used under Wine (label "package").
find_program(ORVA_WINE wine)
find_program(ORVA_XVFB Xvfb)
if(BUILD_TESTING)
  if(NOT ORVA_WINE OR NOT ORVA_XVFB OR NOT EXISTS /usr/lib/wine/wine64)
    orva_part_missing("Windows installer tests" "wine wine32 wine64 xvfb" "Wine or Xvfb not found")
  else()
    add_test(NAME package.msi
      COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/tests/msi.sh ${CMAKE_BINARY_DIR}/package-tests/msi
              ${ORVA_MSI_i686} ${ORVA_MSI_x86_64} ${CMAKE_SOURCE_DIR}/examples/windows
              ${ORVA_OCX_DIR_i686}/examples/windows/atl_host.exe ${ORVA_OCX_DIR_x86_64}/examples/windows/atl_host.exe
              ${CMAKE_BINARY_DIR}/msi-i686/ActiveX_ORVA.ocx ${CMAKE_BINARY_DIR}/msi-x86_64/ActiveX_ORVA.ocx
              ${CMAKE_BINARY_DIR}/msi-i686)
    set_tests_properties(package.msi PROPERTIES LABELS package TIMEOUT 600)
  endif()
endif()
