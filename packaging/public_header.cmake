# One public header as it is installed: under include/orva, its includes of
# the library's other headers written <orva/folder/file.h>, so that a program
# needs only <prefix>/include on its path and its own "control/..." or
# "platform/..." headers never meet ours. In the tree the same headers
# include each other from the tree's root, "folder/file.h".
#
#   cmake -DSOURCE=<header> -DOUTPUT=<installed copy> -DPUBLIC=<a.h|b.h|...> -P public_header.cmake
#
# A public header that includes one of the tree's headers that is not
# installed would be broken once installed: that stops the build.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" public "${PUBLIC}")
file(READ "${SOURCE}" text)
string(REGEX MATCHALL "#[ \t]*include[ \t]+\"[^\"]+\"" includes "${text}")
foreach(include IN LISTS includes)
  string(REGEX REPLACE ".*\"([^\"]+)\"" "\\1" path "${include}")
  if(NOT path IN_LIST public)
    message(FATAL_ERROR "${SOURCE} includes \"${path}\", which is not a public header: "
                        "it would be missing from the installed library")
  endif()
  string(REPLACE "${include}" "#include <orva/${path}>" text "${text}")
endforeach()
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
