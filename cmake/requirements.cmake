# ORVA_REQUIRE_ALL turns every part that cannot be built into a configure
# error, so that a machine missing a package fails loudly instead of testing
# less. The test command (scripts/quickstart.sh test, and so CI) sets it.
option(ORVA_REQUIRE_ALL "Fail the configure when any part cannot be built or tested" OFF)

# orva_part_missing(<part> <debian packages> <reason>)
function(orva_part_missing part packages reason)
  if(ORVA_REQUIRE_ALL)
    message(FATAL_ERROR "${part}: ${reason}. Install the Debian packages: ${packages}")
  else()
    message(WARNING "${part} is not built: ${reason} (Debian packages: ${packages})")
  endif()
endfunction()
