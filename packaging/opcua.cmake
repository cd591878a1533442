# The Debian package orva-opcua (component "opcua"), included by deb.cmake
# when the gateway is configured (cmake/opcua.cmake): the gateway with the
# modules `npm ci` fetched, in /usr/lib/orva-opcua, the command
# /usr/bin/orva-opcua, its man page and its systemd unit. It depends on
# orva-tools, whose service and user it serves.
if(NOT TARGET orva_opcua_modules)
  return()
endif()

set(_orva_opcua_dest lib/orva-opcua)
install(FILES ${ORVA_OPCUA_SOURCE}/package.json DESTINATION ${_orva_opcua_dest} COMPONENT opcua)
install(PROGRAMS ${ORVA_OPCUA_SOURCE}/bin/orva-opcua.js DESTINATION ${_orva_opcua_dest}/bin COMPONENT opcua)
install(DIRECTORY ${ORVA_OPCUA_SOURCE}/lib/ DESTINATION ${_orva_opcua_dest}/lib COMPONENT opcua
        FILES_MATCHING PATTERN "*.js")
# The modules as npm ci left them, without npm's own bookkeeping. They are
# fetched by the target orva_opcua_modules (orva_deb depends on it); an
# install without them says so and installs the rest.
install(CODE "
  if(EXISTS \"${ORVA_OPCUA_MODULES_STAMP}\")
    file(INSTALL \"${ORVA_OPCUA_BUILD}/node_modules\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${_orva_opcua_dest}\"
         PATTERN \".orva-installed\" EXCLUDE PATTERN \".package-lock.json\" EXCLUDE
         PATTERN \".bin\" EXCLUDE PATTERN \".npmignore\" EXCLUDE)
  else()
    message(WARNING \"orva-opcua is installed without its modules: build the target orva_opcua_modules first (npm ci)\")
  endif()
" COMPONENT opcua)
# /usr/bin/orva-opcua, a relative link to the program.
file(MAKE_DIRECTORY ${_orva_deb_out}/opcua)
file(CREATE_LINK ../lib/orva-opcua/bin/orva-opcua.js ${_orva_deb_out}/opcua/orva-opcua SYMBOLIC)
install(FILES ${_orva_deb_out}/opcua/orva-opcua DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT opcua)

# Its man page, from its --help.
add_custom_command(
  OUTPUT ${_orva_deb_out}/man/orva-opcua.1.gz
  COMMAND ${ORVA_HELP2MAN} --no-info --section=1 "--version-string=orva-opcua ${PROJECT_VERSION}"
          "--name=the weight service's scales over OPC UA (Scales companion model)"
          --output=${_orva_deb_out}/man/orva-opcua.1 ${ORVA_OPCUA_SOURCE}/bin/orva-opcua.js
  COMMAND gzip -9nf ${_orva_deb_out}/man/orva-opcua.1
  DEPENDS ${ORVA_OPCUA_SOURCE}/bin/orva-opcua.js
  COMMENT "Man page of orva-opcua"
  VERBATIM)
add_custom_target(orva_opcua_man ALL DEPENDS ${_orva_deb_out}/man/orva-opcua.1.gz)
install(FILES ${_orva_deb_out}/man/orva-opcua.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT opcua)

set(_orva_opcua_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/orva-opcua)
install(FILES ${_orva_deb}/copyright ${_orva_deb_out}/changelog.Debian.gz DESTINATION ${_orva_opcua_doc} COMPONENT opcua)
install(FILES ${_orva_deb}/opcua/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME orva-opcua COMPONENT opcua)

# The unit, only ever into the package (as the service's).
set(ORVA_UNIT_BINDIR /usr/bin)
set(ORVA_UNIT_CONFDIR /etc/orva)
configure_file(${_orva_deb}/orva-opcua.service.in ${_orva_deb_out}/orva-opcua.service @ONLY)
install(FILES ${_orva_deb_out}/orva-opcua.service DESTINATION /lib/systemd/system COMPONENT opcua_system EXCLUDE_FROM_ALL)

list(APPEND CPACK_COMPONENTS_ALL opcua opcua_system)
set(CPACK_COMPONENT_OPCUA_GROUP opcua)
set(CPACK_COMPONENT_OPCUA_SYSTEM_GROUP opcua)
set(CPACK_DEBIAN_OPCUA_PACKAGE_NAME orva-opcua)
set(CPACK_DEBIAN_OPCUA_PACKAGE_SECTION net)
set(CPACK_DEBIAN_OPCUA_PACKAGE_DEPENDS "nodejs (>= 20), orva-tools (= ${PROJECT_VERSION}-1)")
set(CPACK_DEBIAN_OPCUA_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_OPCUA_PACKAGE_CONTROL_EXTRA "${_orva_deb}/opcua/postinst;${_orva_deb}/opcua/prerm;${_orva_deb}/opcua/postrm")
set(CPACK_COMPONENT_GROUP_OPCUA_DESCRIPTION "weighing-terminal service: OPC UA gateway
orva-opcua shows every scale of orva-service as an OPC UA server in the
Scales companion model (SimpleScaleType under DeviceSet): the current weight,
whether it settled, RegisterWeight, the terminal's status and port. It reads
the service's own configuration file and talks to it over its HTTP API.")
set(CPACK_COMPONENT_OPCUA_DESCRIPTION "${CPACK_COMPONENT_GROUP_OPCUA_DESCRIPTION}")
set(ORVA_OPCUA_PACKAGED TRUE)
