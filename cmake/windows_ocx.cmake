# The Windows ActiveX control ActiveX_ORVA.ocx.
#
# Cross configure (WIN32, one of cmake/toolchain-*-w64-mingw32.cmake): builds
# the control for that architecture and the Windows test host.
# Native configure: when both mingw-w64 compilers are present, cross-builds
# both architectures of this same tree as external projects and registers the
# Wine tests (label "wine").

if(WIN32)
  enable_language(C RC)
  find_program(ORVA_WIDL widl REQUIRED)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)

  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_orva_widl_arch --win64)
    set(_orva_wine_dlls /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
  else()
    set(_orva_widl_arch --win32)
    set(_orva_wine_dlls /usr/lib/i386-linux-gnu/wine/i386-windows)
  endif()

  set(_orva_ocx_src ${CMAKE_CURRENT_SOURCE_DIR}/control/ocx)
  set(_orva_gen ${CMAKE_CURRENT_BINARY_DIR}/ocx_generated)
  file(MAKE_DIRECTORY ${_orva_gen})

  # The type library: widl, then the flags widl cannot express.
  add_custom_command(
    OUTPUT ${_orva_gen}/ActiveX_ORVA_h.h ${_orva_gen}/ActiveX_ORVA_i.c ${_orva_gen}/ActiveX_ORVA_widl.tlb
    COMMAND ${ORVA_WIDL} ${_orva_widl_arch} -I /usr/include/wine/wine/windows -L ${_orva_wine_dlls}
            -h -H ${_orva_gen}/ActiveX_ORVA_h.h -u -U ${_orva_gen}/ActiveX_ORVA_i.c
            -t -T ${_orva_gen}/ActiveX_ORVA_widl.tlb ${_orva_ocx_src}/ActiveX_ORVA.idl
    DEPENDS ${_orva_ocx_src}/ActiveX_ORVA.idl
    COMMENT "widl: ActiveX_ORVA type library"
    VERBATIM)
  add_custom_command(
    OUTPUT ${_orva_gen}/ActiveX_ORVA.tlb
    COMMAND Python3::Interpreter ${_orva_ocx_src}/set_typeflags.py ${_orva_gen}/ActiveX_ORVA_widl.tlb
            ${_orva_gen}/ActiveX_ORVA.tlb 0x2 736AFA12-84AC-4768-92DB-D8B50615C318=+0x80
    DEPENDS ${_orva_gen}/ActiveX_ORVA_widl.tlb ${_orva_ocx_src}/set_typeflags.py
    COMMENT "Type library flags widl cannot express"
    VERBATIM)
  set_source_files_properties(${_orva_ocx_src}/ActiveX_ORVA.rc PROPERTIES
    OBJECT_DEPENDS "${_orva_gen}/ActiveX_ORVA.tlb;${_orva_ocx_src}/toolbox.bmp")

  # The interface header and identifiers, for the control and for its hosts.
  add_library(orva_ocx_ids STATIC ${_orva_gen}/ActiveX_ORVA_i.c)
  target_include_directories(orva_ocx_ids PUBLIC ${_orva_gen})
  # widl's C output is not ours to keep warning-free.
  set_source_files_properties(${_orva_gen}/ActiveX_ORVA_i.c PROPERTIES COMPILE_OPTIONS "-w")
  add_custom_target(orva_ocx_header DEPENDS ${_orva_gen}/ActiveX_ORVA_h.h ${_orva_gen}/ActiveX_ORVA.tlb)
  add_dependencies(orva_ocx_ids orva_ocx_header)

  # Windows platform seams and the GDI panel.
  add_library(orva_win32 STATIC
    platform/win32/notice.cpp
    platform/win32/serial_port.cpp
    platform/win32/text.cpp
    platform/win32/timers.cpp
    panel/gdi/gdi_panel.cpp)
  target_link_libraries(orva_win32 PUBLIC orva_core)
  target_compile_definitions(orva_win32 PUBLIC UNICODE _UNICODE _WIN32_WINNT=0x0601)
  orva_warnings(orva_win32)

  add_library(ActiveX_ORVA SHARED
    control/ocx/class_factory.cpp
    control/ocx/com_errors.cpp
    control/ocx/connection_point.cpp
    control/ocx/control_window.cpp
    control/ocx/dispatch_call.cpp
    control/ocx/module.cpp
    control/ocx/orva_control.cpp
    control/ocx/persistence.cpp
    control/ocx/registration.cpp
    control/ocx/ActiveX_ORVA.rc
    control/ocx/ActiveX_ORVA.def)
  set_target_properties(ActiveX_ORVA PROPERTIES PREFIX "" SUFFIX ".ocx" OUTPUT_NAME ActiveX_ORVA)
  target_include_directories(ActiveX_ORVA PRIVATE ${_orva_gen} ${_orva_ocx_src})
  target_link_libraries(ActiveX_ORVA PRIVATE orva_ocx_ids orva_win32 ole32 oleaut32 uuid user32 gdi32 advapi32)
  # A self-contained module: no runtime DLL of the compiler beside it.
  target_link_options(ActiveX_ORVA PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at -Wl,--enable-stdcall-fixup)
  orva_warnings(ActiveX_ORVA)

  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/typelib_test.cpp)
    add_subdirectory(tests/wine ${CMAKE_CURRENT_BINARY_DIR}/tests/wine)
  endif()
  return()
endif()

# ---- native configure ----
find_program(ORVA_MINGW32_CXX i686-w64-mingw32-g++)
find_program(ORVA_MINGW64_CXX x86_64-w64-mingw32-g++)
find_program(ORVA_WIDL_NATIVE widl)
find_package(Python3 COMPONENTS Interpreter)
if(NOT ORVA_MINGW32_CXX OR NOT ORVA_MINGW64_CXX OR NOT ORVA_WIDL_NATIVE OR NOT Python3_Interpreter_FOUND)
  message(STATUS "ActiveX control: needs both mingw-w64 compilers, widl and python3; not built")
  return()
endif()

include(ExternalProject)
set(ORVA_OCX_BUILDS "")
foreach(_orva_arch i686 x86_64)
  set(_orva_dir ${CMAKE_BINARY_DIR}/ocx-${_orva_arch})
  ExternalProject_Add(orva_ocx_${_orva_arch}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${_orva_dir}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-${_orva_arch}-w64-mingw32.cmake
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DORVA_BUILD_TESTS=OFF
      -DORVA_BUILD_BENCH=OFF
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD OFF)
  set(ORVA_OCX_DIR_${_orva_arch} ${_orva_dir})
endforeach()

find_program(ORVA_WINE wine)
find_program(ORVA_XVFB Xvfb)
if(NOT ORVA_WINE OR NOT ORVA_XVFB OR NOT EXISTS /usr/lib/wine/wine64 OR NOT BUILD_TESTING)
  message(STATUS "ActiveX control: built, Wine tests not registered (wine, wine64 or Xvfb missing, or testing off)")
  return()
endif()
if(NOT EXISTS /usr/src/googletest/googletest/src/gtest-all.cc)
  message(STATUS "ActiveX control: no GoogleTest sources for the Windows test host; Wine tests not registered")
  return()
endif()

set(_orva_wine_tests ${CMAKE_SOURCE_DIR}/tests/wine)
set(_orva_wine_work ${CMAKE_BINARY_DIR}/wine-tests)
add_test(NAME wine.registration
  COMMAND bash ${_orva_wine_tests}/registration.sh ${_orva_wine_work}/registration
          ${ORVA_OCX_DIR_i686}/ActiveX_ORVA.ocx ${ORVA_OCX_DIR_x86_64}/ActiveX_ORVA.ocx)
foreach(_orva_arch i686 x86_64)
  add_test(NAME wine.host.${_orva_arch}
    COMMAND bash ${_orva_wine_tests}/host.sh ${_orva_wine_work}/host-${_orva_arch} ${_orva_arch}
            ${ORVA_OCX_DIR_${_orva_arch}})
endforeach()
add_test(NAME wine.vbscript
  COMMAND bash ${_orva_wine_tests}/vbscript.sh ${_orva_wine_work}/vbscript
          ${ORVA_OCX_DIR_i686}/ActiveX_ORVA.ocx ${ORVA_OCX_DIR_x86_64}/ActiveX_ORVA.ocx)
set_tests_properties(wine.registration wine.host.i686 wine.host.x86_64 wine.vbscript PROPERTIES
  LABELS wine TIMEOUT 300)
