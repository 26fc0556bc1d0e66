# Shared by the linux-*.cmake toolchain files, which set `triplet` (Debian's
# cross compiler is g++-<triplet>), CMAKE_SYSTEM_PROCESSOR and `qemu`, the
# qemu-user program that runs the result. Tests run the program under it
# unless another emulator is given with -DCMAKE_CROSSCOMPILING_EMULATOR=...
set(CMAKE_SYSTEM_NAME Linux)

find_program(BINSEARCH_CROSS_CXX ${triplet}-g++)
if(NOT BINSEARCH_CROSS_CXX)
  message(FATAL_ERROR "${triplet}-g++ not found: install Debian's g++-${triplet}")
endif()
set(CMAKE_CXX_COMPILER ${BINSEARCH_CROSS_CXX})
set(CMAKE_C_COMPILER ${triplet}-gcc)

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND qemu)
  find_program(BINSEARCH_QEMU NAMES ${qemu} ${qemu}-static)
  if(BINSEARCH_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${BINSEARCH_QEMU})
  endif()
endif()
