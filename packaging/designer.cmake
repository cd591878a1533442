# The scale widget (one control on a Qt form) and its Qt Designer plugin,
# installed by liborva-dev; the test loads the plugin with QPluginLoader and
# runs a widget it created against the terminal simulator (label "package").

if(NOT TARGET orva_scale_widget)
  return()  # no Linux runtime: reported by the Debian packages already
endif()
find_package(Qt6 COMPONENTS UiPlugin QUIET)
if(NOT Qt6UiPlugin_FOUND)
  orva_part_missing("Qt Designer plugin" "qt6-tools-dev" "the Qt 6 Designer plugin interface (Qt6UiPlugin) not found")
  return()
endif()

# Static libraries that go into the plugin and into programs built against
# the installed library.
set_target_properties(orva_qt_widgets PROPERTIES POSITION_INDEPENDENT_CODE ON)

add_library(orva_designer MODULE ${CMAKE_SOURCE_DIR}/hosts/qt/designer/scale_widget_plugin.cpp
                                 ${CMAKE_SOURCE_DIR}/hosts/qt/designer/scale_widget_plugin.h)
set_target_properties(orva_designer PROPERTIES AUTOMOC ON PREFIX "lib" OUTPUT_NAME orvadesigner
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/designer)
target_link_libraries(orva_designer PRIVATE orva_scale_widget Qt6::UiPlugin)
target_include_directories(orva_designer PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(orva_designer PRIVATE -Wl,--no-undefined)
orva_warnings(orva_designer)
set(ORVA_DESIGNER_PLUGIN TRUE)

if(BUILD_TESTING AND TARGET orva-sim)
  find_package(GTest REQUIRED)
  find_package(Qt6 COMPONENTS Xml REQUIRED)
  add_executable(orva_designer_plugin_test ${CMAKE_SOURCE_DIR}/packaging/tests/designer_plugin_test.cpp)
  set_target_properties(orva_designer_plugin_test PROPERTIES AUTOMOC ON)
  # Only Qt and the plugin interface: the widget comes from the plugin file.
  target_link_libraries(orva_designer_plugin_test PRIVATE Qt6::Widgets Qt6::Xml Qt6::UiPlugin GTest::gtest)
  orva_warnings(orva_designer_plugin_test)
  add_dependencies(orva_designer_plugin_test orva_designer orva-sim)
  add_test(NAME package.designer_plugin COMMAND orva_designer_plugin_test)
  set_tests_properties(package.designer_plugin PROPERTIES LABELS package TIMEOUT 60
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ORVA_DESIGNER_PLUGIN=$<TARGET_FILE:orva_designer>;ORVA_SIM=$<TARGET_FILE:orva-sim>")
endif()
