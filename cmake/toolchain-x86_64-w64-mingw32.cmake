# Cross build for x86_64 Windows with mingw-w64 (the Windows ActiveX control).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVA_MINGW_TRIPLET x86_64-w64-mingw32)

# The POSIX thread model: its C++ library has std::mutex and friends (the
# test host's GoogleTest needs them); -static keeps its runtime inside.
set(CMAKE_C_COMPILER ${ORVA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
