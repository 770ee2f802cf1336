# What both Windows toolchains share; each sets _triplet and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
# Debian names the compilers after their thread model. The win32 one links no thread library
# (cdcopy has one thread) and so imports nothing newer than the rest; then posix, then the plain
# name.
find_program(_mingw_cxx NAMES ${_triplet}-g++-win32 ${_triplet}-g++-posix ${_triplet}-g++ REQUIRED)
set(CMAKE_CXX_COMPILER ${_mingw_cxx})
find_program(CMAKE_RC_COMPILER NAMES ${_triplet}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
