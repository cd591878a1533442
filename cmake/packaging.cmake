# How each audience installs the project, one file per form under packaging/:
#   msi.cmake   the Windows installers of the control (wixl), one per architecture
# Native configure only: the cross builds of the control have nothing to package.
if(WIN32 OR ORVA_CORE_ONLY)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/requirements.cmake)
include(${CMAKE_SOURCE_DIR}/packaging/msi.cmake)
