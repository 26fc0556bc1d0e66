# Shared by the toolchain files beside it, which set CMAKE_SYSTEM_NAME,
# CMAKE_SYSTEM_PROCESSOR, `triplet` (the cross compiler is <triplet>-g++, from
# Debian's packages) and `emulator`, the program that runs the result here
# (qemu-user's or wine), looked for also in `emulator_paths` if they set it.
# Tests run the program under it unless another is given with
# -DCMAKE_CROSSCOMPILING_EMULATOR=... (empty: none).
find_program(BINSEARCH_CROSS_CXX ${triplet}-g++)
if(NOT BINSEARCH_CROSS_CXX)
  message(FATAL_ERROR "${triplet}-g++ not found: install the cross compiler (HACKING.md, Platforms)")
endif()
set(CMAKE_CXX_COMPILER ${BINSEARCH_CROSS_CXX})
set(CMAKE_C_COMPILER ${triplet}-gcc)

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND emulator)
  find_program(BINSEARCH_EMULATOR NAMES ${emulator} ${emulator}-static PATHS ${emulator_paths})
  if(BINSEARCH_EMULATOR) # cached, for the release to run the program as the tests do
    set(CMAKE_CROSSCOMPILING_EMULATOR ${BINSEARCH_EMULATOR} CACHE FILEPATH "Runs the program here")
  endif()
endif()
