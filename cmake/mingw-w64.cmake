# Cross-compiles cdcopy.exe for 64-bit Windows with MinGW-w64 from Linux:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake && cmake --build build-win
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triplet x86_64-w64-mingw32)
# Debian names the compiler after its thread model; prefer the posix one, else the plain name.
find_program(_mingw_cxx NAMES ${_triplet}-g++-posix ${_triplet}-g++ REQUIRED)
set(CMAKE_CXX_COMPILER ${_mingw_cxx})
find_program(CMAKE_RC_COMPILER NAMES ${_triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
