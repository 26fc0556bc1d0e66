# Cross-compiles the 32-bit Windows console program with Debian's MinGW-w64
# (package g++-mingw-w64-i686). Tests run the .exe under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(triplet i686-w64-mingw32)
set(emulator wine)
set(CMAKE_RC_COMPILER ${triplet}-windres)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
