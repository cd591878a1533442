# How each audience installs the project, one file per form under packaging/:
#   msi.cmake   the Windows installers of the control (wixl), one per architecture
#   deb.cmake   the Debian packages (CPack), man pages, the tools' install rules
#   designer.cmake  the scale widget and its Qt Designer plugin
#   library.cmake   the C++ library: install rules, CMake package, pkg-config
# A cross build of the control adds only the C++ host example; the native
# configure does the packaging.
if(WIN32)
  add_subdirectory(${CMAKE_SOURCE_DIR}/examples/windows ${CMAKE_BINARY_DIR}/examples/windows)
  return()
endif()
if(ORVA_CORE_ONLY)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/requirements.cmake)
include(${CMAKE_SOURCE_DIR}/packaging/msi.cmake)
include(${CMAKE_SOURCE_DIR}/packaging/designer.cmake)
include(${CMAKE_SOURCE_DIR}/packaging/library.cmake)
include(${CMAKE_SOURCE_DIR}/packaging/deb.cmake)
