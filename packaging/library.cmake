# The C++ library for Linux programs (component "dev", package liborva-dev):
#   Orva::control  the portable core: the control object, its properties,
#                  events and panel model, the platform seams it is written against
#   Orva::hosts    the host kit: a control placed on its port, the properties file
#   Orva::qt       the Qt 6 platform: serial port, timers, locale, notices
#   Orva::widgets  the panel widget and the scale widget (one control on a form)
# as static libraries, the public headers under include/orva (included as
# <orva/control/activex_orva.h>, with <prefix>/include on the path), the CMake
# package OrvaControl, the pkg-config files orva-control and orva-qt, and
# the Qt Designer plugin. Headers not reachable from the public ones (the
# hosts, the simulator, the virtual platform, the Windows parts) stay private.
# Test (label "package"): examples/linux built against an installed tree in a
# temporary prefix, run against the simulator.

if(NOT TARGET orva_qt OR NOT TARGET orva_scale_widget)
  return()  # no Linux runtime or no Designer interface: reported already
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(ORVA_LIBRARY_INSTALL TRUE)
set(_orva_include ${CMAKE_INSTALL_INCLUDEDIR})
# Libraries, their CMake package and pkg-config files in the multiarch folder
# where the system has one (lib/x86_64-linux-gnu on Debian), in any prefix.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(_orva_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(_orva_libdir ${CMAKE_INSTALL_LIBDIR})
endif()
set(_orva_cmake ${_orva_libdir}/cmake/OrvaControl)

set(ORVA_PUBLIC_HEADERS
  acquisition/control_events.h acquisition/control_parts.h acquisition/int16_conversion.h
  acquisition/cycle_observer.h acquisition/frame_decoding.h acquisition/frame_grid.h acquisition/property_record.h acquisition/reading_record.h
  control/activex_orva.h control/property_persistence.h control/property_table.h control/value_conversion.h
  panel/colours.h panel/layout.h panel/panel_model.h
  panel/qt/panel_widget.h
  hosts/place_control.h hosts/property_file.h hosts/qt/scale_widget.h
  platform/checked_serial_port.h platform/failure.h platform/interval_timer.h platform/locale.h
  platform/property_bag.h platform/serial_port.h platform/serial_settings.h platform/trace.h
  platform/user_notice.h
  platform/qt/console_notice.h platform/qt/device_lock.h platform/qt/gui_notice.h platform/qt/port_map.h
  platform/qt/qt_locale.h platform/qt/qt_serial_port.h platform/qt/qt_timers.h)
# Each as installed, its includes of the others written <orva/...>
# (packaging/public_header.cmake), built with the libraries.
set(_orva_public_dir ${CMAKE_BINARY_DIR}/public-headers/orva)
list(JOIN ORVA_PUBLIC_HEADERS "|" _orva_public_list)
set(_orva_public_copies "")
foreach(_orva_header IN LISTS ORVA_PUBLIC_HEADERS)
  get_filename_component(_orva_dir ${_orva_header} DIRECTORY)
  add_custom_command(OUTPUT ${_orva_public_dir}/${_orva_header}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_orva_public_dir}/${_orva_dir}
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_SOURCE_DIR}/${_orva_header} -DOUTPUT=${_orva_public_dir}/${_orva_header}
            -DPUBLIC=${_orva_public_list} -P ${CMAKE_SOURCE_DIR}/packaging/public_header.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/${_orva_header} ${CMAKE_SOURCE_DIR}/packaging/public_header.cmake
    COMMENT "Public header orva/${_orva_header}"
    VERBATIM)
  list(APPEND _orva_public_copies ${_orva_public_dir}/${_orva_header})
  install(FILES ${_orva_public_dir}/${_orva_header} DESTINATION ${_orva_include}/orva/${_orva_dir} COMPONENT dev)
endforeach()
add_custom_target(orva_public_headers ALL DEPENDS ${_orva_public_copies})
install(FILES ${CMAKE_BINARY_DIR}/generated/orva/version.h DESTINATION ${_orva_include}/orva COMPONENT dev)

# The core's floors, each its own archive; Orva::control brings the ones below.
foreach(_orva_floor platform panel acquisition control)
  target_include_directories(orva_${_orva_floor} INTERFACE $<INSTALL_INTERFACE:${_orva_include}>)
  set_target_properties(orva_${_orva_floor} PROPERTIES EXPORT_NAME ${_orva_floor} OUTPUT_NAME orva-${_orva_floor})
endforeach()
target_include_directories(orva_version INTERFACE $<INSTALL_INTERFACE:${_orva_include}>)
set_target_properties(orva_version PROPERTIES EXPORT_NAME version)
set_target_properties(orva_hosts PROPERTIES EXPORT_NAME hosts OUTPUT_NAME orva-hosts)
set_target_properties(orva_qt PROPERTIES EXPORT_NAME qt OUTPUT_NAME orva-qt)
set_target_properties(orva_qt_widgets PROPERTIES EXPORT_NAME qt_notice OUTPUT_NAME orva-qt-notice)
set_target_properties(orva_panel_qt PROPERTIES EXPORT_NAME panel_widget OUTPUT_NAME orva-panel-widget)
set_target_properties(orva_scale_widget PROPERTIES EXPORT_NAME widgets OUTPUT_NAME orva-widgets)
install(TARGETS orva_platform orva_panel orva_acquisition orva_control orva_hosts orva_version orva_qt orva_qt_widgets orva_panel_qt orva_scale_widget
        EXPORT OrvaControlTargets
        ARCHIVE DESTINATION ${_orva_libdir} COMPONENT dev)
# A stripped install (the packages) keeps the archives' symbols and drops
# their debugging information, a tenth of the size.
install(CODE "
if(CMAKE_INSTALL_DO_STRIP)
  file(GLOB _archives \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_orva_libdir}/liborva-*.a\")
  foreach(_archive IN LISTS _archives)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug \"\${_archive}\")
  endforeach()
endif()" COMPONENT dev)
install(EXPORT OrvaControlTargets NAMESPACE Orva:: DESTINATION ${_orva_cmake} COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/packaging/OrvaControlConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/OrvaControlConfig.cmake INSTALL_DESTINATION ${_orva_cmake})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/OrvaControlConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/OrvaControlConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/OrvaControlConfigVersion.cmake
        DESTINATION ${_orva_cmake} COMPONENT dev)

# pkg-config: the prefix is the one the tree is installed to.
foreach(_orva_pc orva-control orva-qt orva-widgets)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/${_orva_pc}.pc.in ${CMAKE_BINARY_DIR}/packaging/${_orva_pc}.pc.in @ONLY)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/packaging/${_orva_pc}-install.cmake CONTENT "
file(READ \"${CMAKE_BINARY_DIR}/packaging/${_orva_pc}.pc.in\" _pc)
string(REPLACE \"%PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" _pc \"\${_pc}\")
set(_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_orva_libdir}/pkgconfig\")
message(STATUS \"Installing: \${_dir}/${_orva_pc}.pc\")
file(WRITE \"\${_dir}/${_orva_pc}.pc\" \"\${_pc}\")
")
  install(SCRIPT ${CMAKE_BINARY_DIR}/packaging/${_orva_pc}-install.cmake COMPONENT dev)
endforeach()

# The Designer plugin where Qt's own Designer looks for plugins.
get_target_property(_orva_qmake Qt6::qmake IMPORTED_LOCATION)
execute_process(COMMAND ${_orva_qmake} -query QT_INSTALL_PLUGINS OUTPUT_VARIABLE _orva_qt_plugins
                OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX REPLACE "^/usr/" "" _orva_qt_plugins "${_orva_qt_plugins}")
install(TARGETS orva_designer LIBRARY DESTINATION ${_orva_qt_plugins}/designer COMPONENT dev)

if(BUILD_TESTING)
  add_test(NAME package.library_install
    COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/tests/library_install.sh ${CMAKE_BINARY_DIR}
            ${CMAKE_BINARY_DIR}/package-tests/library ${CMAKE_SOURCE_DIR}/examples/linux $<TARGET_FILE:orva-sim>)
  set_tests_properties(package.library_install PROPERTIES LABELS package TIMEOUT 300 RESOURCE_LOCK orva_install)
endif()
