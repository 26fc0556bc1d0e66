# Cross-compiles the 64-bit Windows console program with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64). Tests run the .exe under wine64 itself,
# which needs no 32-bit wine: `wine` may start wine's 32-bit loader even for
# a 64-bit program. Debian keeps wine64 off PATH, in /usr/lib/wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-w64-mingw32)
set(emulator wine64)
set(emulator_paths /usr/lib/wine)
set(CMAKE_RC_COMPILER ${triplet}-windres)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
