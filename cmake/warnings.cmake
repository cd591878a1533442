# Warnings stay on for our own code in every build type. They stop the build
# only when ORVA_WARNINGS_AS_ERRORS asks for it: ON in CI (the test command of
# scripts/quickstart.sh), OFF for a user's build, so a newer compiler's new
# warning never keeps anyone from building.
option(ORVA_WARNINGS_AS_ERRORS "Treat warnings in our own code as errors" OFF)

function(orva_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(ORVA_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
