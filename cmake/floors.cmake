# The floors of scripts/floors.txt as libraries the compiler holds apart.
#
# Sources include each other from the tree's root ("acquisition/x.h"), so the
# root itself cannot be on a floor's include path: it would offer every
# floor's headers. Instead each floor's library gets an include root of its
# own in the build tree, <build>/floors/<library>/<folder>/*.h, linking to
# that folder's headers alone (not its subfolders: those are floors of their
# own), and links the libraries of the floors it stands on. A source then
# finds the headers of its floor and of the floors below; an include of any
# other floor's header is "no such file" and does not build.
#
#   orva_floor(<folder> SOURCES <file>...)
#       the folder's library, named in the table, from the sources given
#       relative to the folder
#   orva_floor_headers(<target> <folder>)
#       the folder's include root and the floors it stands on, for a target
#       the table leaves to its own folder (a program on a floor of its own)
#
# orva_core is what the programs above the floors link: every floor of the
# core and the tree's root, from which they include their own headers.

set(ORVA_FLOOR_TABLE ${CMAKE_SOURCE_DIR}/scripts/floors.txt)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ORVA_FLOOR_TABLE})
file(STRINGS ${ORVA_FLOOR_TABLE} _orva_floor_lines REGEX "^floor[ \t]")
foreach(_orva_line IN LISTS _orva_floor_lines)
  string(REGEX REPLACE "#.*" "" _orva_line "${_orva_line}")
  string(REGEX REPLACE "[ \t]+" ";" _orva_words "${_orva_line}")
  list(FILTER _orva_words EXCLUDE REGEX "^$")
  list(POP_FRONT _orva_words _orva_keyword _orva_folder _orva_target)
  set(ORVA_FLOOR_TARGET_${_orva_folder} ${_orva_target})
  set(ORVA_FLOOR_BELOW_${_orva_folder} ${_orva_words})
endforeach()

function(orva_floor_headers target folder)
  if(NOT DEFINED ORVA_FLOOR_TARGET_${folder})
    message(FATAL_ERROR "${folder} is on no floor: add it to ${ORVA_FLOOR_TABLE}")
  endif()
  set(root ${CMAKE_BINARY_DIR}/floors/${target})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${folder})
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.h)
  foreach(header IN LISTS headers)
    get_filename_component(name ${header} NAME)
    file(CREATE_LINK ${header} ${root}/${folder}/${name} SYMBOLIC COPY_ON_ERROR)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE" OR type STREQUAL "MODULE_LIBRARY" OR type STREQUAL "SHARED_LIBRARY")
    set(scope PRIVATE)
  else()
    set(scope PUBLIC)
  endif()
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${root}>)
  foreach(below IN LISTS ORVA_FLOOR_BELOW_${folder})
    set(library ${ORVA_FLOOR_TARGET_${below}})
    if(below STREQUAL "*" OR NOT library OR library STREQUAL "-")
      message(FATAL_ERROR "${folder} stands on ${below}, which has no library of its own")
    endif()
    target_link_libraries(${target} ${scope} ${library})
  endforeach()
endfunction()

function(orva_floor folder)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES")
  set(target ${ORVA_FLOOR_TARGET_${folder}})
  if(NOT target OR target STREQUAL "-")
    message(FATAL_ERROR "${folder} has no library in ${ORVA_FLOOR_TABLE}")
  endif()
  list(TRANSFORM arg_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/${folder}/)
  add_library(${target} STATIC ${arg_SOURCES})
  # The Designer plugin and programs built against the installed library
  # take these archives into position-independent code.
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  orva_floor_headers(${target} ${folder})
  orva_warnings(${target})
endfunction()
