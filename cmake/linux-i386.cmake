# Linux on 32-bit x86 PCs, cross-compiled with Debian's g++-i686-linux-gnu. An
# x86 host, 32- or 64-bit, runs the program as it is; any other host runs it
# under qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(triplet i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
if(CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
  set(BINSEARCH_HOST_RUNS_IT ON)
else()
  set(emulator qemu-i386)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
