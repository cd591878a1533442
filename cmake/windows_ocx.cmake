# The Windows ActiveX control ActiveX_ORVA.ocx.
#
# Cross configure (WIN32, one of cmake/toolchain-*-w64-mingw32.cmake): builds
# the control for that architecture and the Windows test host.
# Native configure (unless ORVA_WITH_WINDOWS is OFF): cross-builds both
# architectures of this same tree as external projects and registers the Wine
# tests (label "wine"). A missing prerequisite is named with its Debian
# package, and stops the configure when ORVA_REQUIRE_ALL is ON.

include(${CMAKE_CURRENT_LIST_DIR}/requirements.cmake)
option(ORVA_WITH_WINDOWS "Cross-build the Windows ActiveX control and register its Wine tests" ON)

if(WIN32)
  enable_language(C RC)
  # The cross compiler's own widl (mingw-w64-tools), else Wine's (wine64-tools).
  find_program(ORVA_WIDL NAMES ${ORVA_MINGW_TRIPLET}-widl widl REQUIRED)
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
    COMMAND ${ORVA_WIDL} ${_orva_widl_arch} -I ${_orva_ocx_src} -I /usr/include/wine/wine/windows -L ${_orva_wine_dlls}
            -h -H ${_orva_gen}/ActiveX_ORVA_h.h -u -U ${_orva_gen}/ActiveX_ORVA_i.c
            -t -T ${_orva_gen}/ActiveX_ORVA_widl.tlb ${_orva_ocx_src}/ActiveX_ORVA.idl
    DEPENDS ${_orva_ocx_src}/ActiveX_ORVA.idl ${_orva_ocx_src}/dispids.h
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
  orva_floor(platform/win32 SOURCES file_trace.cpp notice.cpp serial_port.cpp text.cpp timers.cpp)
  target_compile_definitions(orva_win32 PUBLIC UNICODE _UNICODE _WIN32_WINNT=0x0601)
  orva_floor(panel/gdi SOURCES gdi_panel.cpp)

  add_library(ActiveX_ORVA SHARED
    control/ocx/class_factory.cpp
    control/ocx/com_errors.cpp
    control/ocx/connection_point.cpp
    control/ocx/control_dispatch.cpp
    control/ocx/control_drawing.cpp
    control/ocx/control_embedding.cpp
    control/ocx/control_events.cpp
    control/ocx/control_persistence.cpp
    control/ocx/control_window.cpp
    control/ocx/dispatch_call.cpp
    control/ocx/exports.cpp
    control/ocx/module_state.cpp
    control/ocx/orva_control.cpp
    control/ocx/persistence.cpp
    control/ocx/registration.cpp
    control/ocx/type_info.cpp
    control/ocx/unsupported_request.cpp
    control/ocx/ActiveX_ORVA.rc
    control/ocx/ActiveX_ORVA.def)
  set_target_properties(ActiveX_ORVA PROPERTIES PREFIX "" SUFFIX ".ocx" OUTPUT_NAME ActiveX_ORVA)
  target_include_directories(ActiveX_ORVA PRIVATE ${_orva_gen} ${_orva_ocx_src})
  # The COM frame stands on the control and the Windows platform and panel.
  orva_floor_headers(ActiveX_ORVA control/ocx)
  target_link_libraries(ActiveX_ORVA PRIVATE orva_ocx_ids orva_version ole32 oleaut32 uuid user32 gdi32 advapi32)
  # A self-contained module: no runtime DLL of the compiler beside it.
  target_link_options(ActiveX_ORVA PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at -Wl,--enable-stdcall-fixup)
  orva_warnings(ActiveX_ORVA)

  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/typelib_test.cpp)
    add_subdirectory(tests/wine ${CMAKE_CURRENT_BINARY_DIR}/tests/wine)
  endif()
  return()
endif()

# ---- native configure ----
if(NOT ORVA_WITH_WINDOWS)
  message(STATUS "ActiveX control: left out on request (ORVA_WITH_WINDOWS=OFF)")
  return()
endif()

# Everything the two cross builds need. Each missing piece is named with its
# Debian package; with ORVA_REQUIRE_ALL the configure stops there.
set(_orva_ocx_missing "")
set(_orva_ocx_packages "")
macro(_orva_ocx_need found what package)
  if(NOT ${found})
    list(APPEND _orva_ocx_missing "${what}")
    list(APPEND _orva_ocx_packages "${package}")
  endif()
endmacro()
find_program(ORVA_MINGW32_CXX i686-w64-mingw32-g++-posix)
find_program(ORVA_MINGW64_CXX x86_64-w64-mingw32-g++-posix)
find_program(ORVA_MINGW32_WIDL NAMES i686-w64-mingw32-widl widl)
find_program(ORVA_MINGW64_WIDL NAMES x86_64-w64-mingw32-widl widl)
find_package(Python3 COMPONENTS Interpreter)
_orva_ocx_need(ORVA_MINGW32_CXX "i686-w64-mingw32-g++-posix" g++-mingw-w64-i686)
_orva_ocx_need(ORVA_MINGW64_CXX "x86_64-w64-mingw32-g++-posix" g++-mingw-w64-x86-64)
_orva_ocx_need(ORVA_MINGW32_WIDL "i686-w64-mingw32-widl" mingw-w64-tools)
_orva_ocx_need(ORVA_MINGW64_WIDL "x86_64-w64-mingw32-widl" mingw-w64-tools)
_orva_ocx_need(Python3_Interpreter_FOUND "python3" python3)
# widl reads the OLE interface definitions from Wine's headers and imports
# the standard OLE type library from Wine's DLL directories.
set(_orva_have_idl FALSE)
if(EXISTS /usr/include/wine/wine/windows/ocidl.idl)
  set(_orva_have_idl TRUE)
endif()
_orva_ocx_need(_orva_have_idl "Wine's interface definitions" libwine-dev)
set(_orva_have_stdole32 FALSE)
if(EXISTS /usr/lib/i386-linux-gnu/wine/i386-windows/stdole2.tlb)
  set(_orva_have_stdole32 TRUE)
endif()
_orva_ocx_need(_orva_have_stdole32 "the 32-bit stdole2.tlb" wine32:i386)
set(_orva_have_stdole64 FALSE)
if(EXISTS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/stdole2.tlb)
  set(_orva_have_stdole64 TRUE)
endif()
_orva_ocx_need(_orva_have_stdole64 "the 64-bit stdole2.tlb" wine64)
if(_orva_ocx_missing)
  list(REMOVE_DUPLICATES _orva_ocx_packages)
  list(JOIN _orva_ocx_missing ", " _orva_what)
  list(JOIN _orva_ocx_packages " " _orva_pkgs)
  orva_part_missing("ActiveX control" "${_orva_pkgs}" "missing ${_orva_what}")
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
      -DORVA_WARNINGS_AS_ERRORS=${ORVA_WARNINGS_AS_ERRORS}
      -DORVA_REQUIRE_ALL=${ORVA_REQUIRE_ALL}
      -DORVA_BUILD_TESTS=OFF
      -DORVA_BUILD_BENCH=OFF
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD OFF)
  set(ORVA_OCX_DIR_${_orva_arch} ${_orva_dir})
endforeach()

if(NOT BUILD_TESTING)
  return()
endif()
# The Wine tests: both Wine loaders, a private X server, the GoogleTest
# sources the Windows test host is built from, python3 for the terminal.
set(_orva_wine_missing "")
set(_orva_wine_packages "")
find_program(ORVA_WINE wine)
find_program(ORVA_XVFB Xvfb)
if(NOT ORVA_WINE OR NOT EXISTS /usr/lib/wine/wine)
  list(APPEND _orva_wine_missing "the 32-bit Wine loader")
  list(APPEND _orva_wine_packages wine wine32:i386)
endif()
if(NOT EXISTS /usr/lib/wine/wine64)
  list(APPEND _orva_wine_missing "the 64-bit Wine loader")
  list(APPEND _orva_wine_packages wine64)
endif()
if(NOT ORVA_XVFB)
  list(APPEND _orva_wine_missing "Xvfb")
  list(APPEND _orva_wine_packages xvfb)
endif()
if(NOT EXISTS /usr/src/googletest/googletest/src/gtest-all.cc)
  list(APPEND _orva_wine_missing "the GoogleTest sources")
  list(APPEND _orva_wine_packages googletest)
endif()
if(_orva_wine_missing)
  list(JOIN _orva_wine_missing ", " _orva_what)
  list(JOIN _orva_wine_packages " " _orva_pkgs)
  orva_part_missing("Wine tests" "${_orva_pkgs}" "missing ${_orva_what}")
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
