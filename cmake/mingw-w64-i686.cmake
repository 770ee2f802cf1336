# Cross-compiles cdcopy.exe for 32-bit Windows with MinGW-w64 from Linux:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake && cmake --build build-win32
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_triplet i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
