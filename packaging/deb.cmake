# Debian packages built with CPack (target orva_deb, into <build>/packages):
#   orva-tools   the monitor, the simulator, the panel program and, once it is
#                built, the service with its systemd unit, its own user in the
#                dialout group and a commented configuration in /etc/orva
#   liborva-dev  the C++ libraries, headers, CMake package, pkg-config file and
#                the Qt Designer plugin (install rules in packaging/library.cmake)
# Tests (label "package", as root): packaging/tests/deb.sh.

include(GNUInstallDirs)
# Packaging installs what was built; it does not build everything first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
find_program(ORVA_HELP2MAN help2man)
find_program(ORVA_DPKG_DEB dpkg-deb)
find_program(ORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT ORVA_DPKG_DEB OR NOT ORVA_DPKG_SHLIBDEPS OR NOT ORVA_HELP2MAN)
  orva_part_missing("Debian packages" "dpkg-dev help2man" "dpkg-deb, dpkg-shlibdeps or help2man not found")
  return()
endif()
if(NOT TARGET orva-monitor)
  orva_part_missing("Debian packages" "qt6-base-dev qt6-serialport-dev" "the Linux tools are not built")
  return()
endif()

set(ORVA_DEB_MAINTAINER "ORVA maintainers <maintainers@orva.invalid>")
set(_orva_deb ${CMAKE_SOURCE_DIR}/packaging/debian)
set(_orva_deb_out ${CMAKE_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${_orva_deb_out}/man)

# ---- orva-tools ----
set(ORVA_TOOL_PROGRAMS orva-monitor orva-sim orva-panel)
set(orva-monitor_SUMMARY "read a weighing terminal on a serial port from the command line")
set(orva-sim_SUMMARY "simulate a weighing terminal on a pseudo-terminal")
set(orva-panel_SUMMARY "show a weighing terminal's live panel in a window")
set(orva-service_SUMMARY "serve live weights of several terminals over HTTP and WebSocket")
if(TARGET orva-service)
  list(APPEND ORVA_TOOL_PROGRAMS orva-service)
endif()
install(TARGETS ${ORVA_TOOL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

# Man pages: the service's written by hand (its configuration keys, files,
# signals), the other programs' from their --help, with the sections of
# packaging/man/<program>.h2m added; gzipped at build time.
set(_orva_man ${CMAKE_SOURCE_DIR}/packaging/man)
set(_orva_man_pages "")
foreach(_orva_tool IN LISTS ORVA_TOOL_PROGRAMS)
  set(_orva_page ${_orva_deb_out}/man/${_orva_tool}.1)
  if(EXISTS ${_orva_man}/${_orva_tool}.1.in)
    # It describes the packaged service's files.
    set(ORVA_MAN_CONFDIR /etc/orva)
    set(ORVA_MAN_UNITDIR /lib/systemd/system)
    configure_file(${_orva_man}/${_orva_tool}.1.in ${_orva_page}.in @ONLY)
    add_custom_command(
      OUTPUT ${_orva_page}.gz
      COMMAND gzip -9nc ${_orva_page}.in > ${_orva_page}.gz
      DEPENDS ${_orva_page}.in
      COMMENT "Man page of ${_orva_tool}"
      VERBATIM)
  else()
    set(_orva_include "")
    if(EXISTS ${_orva_man}/${_orva_tool}.h2m)
      set(_orva_include "--include=${_orva_man}/${_orva_tool}.h2m")
    endif()
    add_custom_command(
      OUTPUT ${_orva_page}.gz
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${ORVA_HELP2MAN} --no-info --no-discard-stderr --section=1 ${_orva_include}
              "--version-string=${_orva_tool} ${PROJECT_VERSION}" "--name=${${_orva_tool}_SUMMARY}"
              --output=${_orva_page} $<TARGET_FILE:${_orva_tool}>
      COMMAND gzip -9nf ${_orva_page}
      DEPENDS ${_orva_tool} ${_orva_man}/${_orva_tool}.h2m
      COMMENT "Man page of ${_orva_tool}"
      VERBATIM)
  endif()
  list(APPEND _orva_man_pages ${_orva_page}.gz)
endforeach()
add_custom_target(orva_man_pages ALL DEPENDS ${_orva_man_pages})
install(FILES ${_orva_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# Debian's documentation files of each package.
string(TIMESTAMP ORVA_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${_orva_deb}/changelog.in ${_orva_deb_out}/changelog @ONLY)
add_custom_command(
  OUTPUT ${_orva_deb_out}/changelog.Debian.gz
  COMMAND gzip -9nc ${_orva_deb_out}/changelog > ${_orva_deb_out}/changelog.Debian.gz
  DEPENDS ${_orva_deb_out}/changelog)
add_custom_target(orva_deb_changelog ALL DEPENDS ${_orva_deb_out}/changelog.Debian.gz)
foreach(_orva_component tools dev)
  if(_orva_component STREQUAL tools)
    set(_orva_package orva-tools)
  else()
    set(_orva_package liborva-dev)
  endif()
  set(_orva_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_orva_package})
  install(FILES ${_orva_deb}/copyright ${_orva_deb_out}/changelog.Debian.gz DESTINATION ${_orva_doc}
          COMPONENT ${_orva_component})
  # Tags that do not apply to packages built outside Debian's archive.
  install(FILES ${_orva_deb}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME ${_orva_package} COMPONENT ${_orva_component})
endforeach()

# The service's systemd unit and configuration. The Debian package puts them
# where the system looks (/lib/systemd/system, /etc/orva): component "system",
# only ever installed into a package. "cmake --install --prefix P" puts them
# under P instead (component "service-files", never packaged), the unit
# naming the program and configuration under P: it writes nothing outside P.
set(_orva_tools_control "")
if(TARGET orva-service)
  set(ORVA_UNIT_BINDIR /usr/bin)
  set(ORVA_UNIT_CONFDIR /etc/orva)
  set(ORVA_UNIT_USER_NOTE "The package creates it.")
  configure_file(${_orva_deb}/orva-service.service.in ${_orva_deb_out}/orva-service.service @ONLY)
  install(FILES ${_orva_deb_out}/orva-service.service DESTINATION /lib/systemd/system
          COMPONENT system EXCLUDE_FROM_ALL)
  install(FILES ${_orva_deb}/service.ini DESTINATION /etc/orva COMPONENT system EXCLUDE_FROM_ALL)
  file(WRITE ${_orva_deb_out}/conffiles "/etc/orva/service.ini\n")
  set(_orva_tools_control ${_orva_deb}/postinst ${_orva_deb}/prerm ${_orva_deb}/postrm ${_orva_deb_out}/conffiles)

  install(FILES ${_orva_deb}/service.ini DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/orva COMPONENT service-files)
  # The unit's user, which the package's postinst creates: a prefix install
  # brings it for systemd-sysusers instead.
  install(FILES ${_orva_deb}/orva.sysusers DESTINATION lib/sysusers.d RENAME orva.conf COMPONENT service-files)
  # The prefix is known only when installing.
  install(CODE "
    set(_orva_bindir \"${CMAKE_INSTALL_BINDIR}\")
    set(_orva_confdir \"${CMAKE_INSTALL_SYSCONFDIR}\")
    foreach(_orva_dir _orva_bindir _orva_confdir)
      if(NOT IS_ABSOLUTE \"\${\${_orva_dir}}\")
        set(\${_orva_dir} \"\${CMAKE_INSTALL_PREFIX}/\${\${_orva_dir}}\")
      endif()
    endforeach()
    set(ORVA_UNIT_BINDIR \"\${_orva_bindir}\")
    set(ORVA_UNIT_CONFDIR \"\${_orva_confdir}/orva\")
    # Only the package creates the user: a prefix install says how.
    set(ORVA_UNIT_USER_NOTE \"Only the package creates it; after this\n# install create it first: systemd-sysusers \${CMAKE_INSTALL_PREFIX}/lib/sysusers.d/orva.conf,\n# then chown -R orva:orva \${ORVA_UNIT_CONFDIR} (without the user the unit\n# fails with status 217/USER).\")
    configure_file(\"${_orva_deb}/orva-service.service.in\" \"${_orva_deb_out}/prefix/orva-service.service\" @ONLY)
    file(INSTALL \"${_orva_deb_out}/prefix/orva-service.service\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  " COMPONENT service-files)
endif()

# ---- CPack ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ORVA_DEB_MAINTAINER}")
set(CPACK_PACKAGE_VENDOR "ORVA project")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools)
if(ORVA_LIBRARY_INSTALL)
  list(APPEND CPACK_COMPONENTS_ALL dev)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")

# The system files go into the tools' package.
set(CPACK_COMPONENT_TOOLS_GROUP tools)
if(TARGET orva-service)
  list(APPEND CPACK_COMPONENTS_ALL system)
  set(CPACK_COMPONENT_SYSTEM_GROUP tools)
endif()
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME orva-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_GROUP_TOOLS_DESCRIPTION "weighing-terminal tools: monitor, simulator, panel, service
Reads the live weight of an industrial weighing terminal on a serial port:
orva-monitor prints the panel or JSON lines on the command line, orva-panel
shows the panel in a window, orva-sim simulates a terminal on a
pseudo-terminal, and orva-service (when built) serves the weights of several
terminals over HTTP and WebSocket under its own system user.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "${CPACK_COMPONENT_GROUP_TOOLS_DESCRIPTION}")
if(TARGET orva-service)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "adduser")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA "${_orva_tools_control}")
endif()

set(CPACK_DEBIAN_DEV_PACKAGE_NAME liborva-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qt6-base-dev, qt6-serialport-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "weighing-terminal control: C++ library for Linux programs
The portable core of the weighing-terminal control and its Qt 6 platform as
static libraries with their public headers, a CMake package
(find_package(OrvaControl), targets Orva::control and Orva::qt), a
pkg-config file and a Qt Designer plugin for the panel widget.")
# The OPC UA gateway's package, orva-opcua, when the gateway is configured.
include(${CMAKE_CURRENT_LIST_DIR}/opcua.cmake)
include(CPack)

add_custom_target(orva_deb
  COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake -B ${CMAKE_BINARY_DIR}/packages
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Debian packages into ${CMAKE_BINARY_DIR}/packages"
  VERBATIM)
add_dependencies(orva_deb ${ORVA_TOOL_PROGRAMS} orva_man_pages orva_deb_changelog)
if(ORVA_OPCUA_PACKAGED)
  add_dependencies(orva_deb orva_opcua_modules orva_opcua_man)
endif()

# Installed under a prefix of its own (any user): nothing outside it.
if(BUILD_TESTING)
  add_test(NAME package.install_prefix
    COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/tests/install_prefix.sh ${CMAKE_BINARY_DIR}/package-tests/prefix
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  set_tests_properties(package.install_prefix PROPERTIES LABELS package TIMEOUT 120 RESOURCE_LOCK orva_install)
endif()

# Installed on this machine (as root; skipped otherwise): the packages are
# made by the test itself, from what the build made.
if(BUILD_TESTING)
  add_test(NAME package.deb
    COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/tests/deb.sh ${CMAKE_BINARY_DIR}/package-tests/deb
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/examples/linux)
  set_tests_properties(package.deb PROPERTIES LABELS package TIMEOUT 600 SKIP_RETURN_CODE 77
                       RESOURCE_LOCK orva_install)
  if(ORVA_OPCUA_PACKAGED)
    # The gateway's package holds the modules npm ci fetched.
    set_tests_properties(package.deb PROPERTIES FIXTURES_REQUIRED orva_opcua_modules)
  endif()
endif()
