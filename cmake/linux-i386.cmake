# Linux on 32-bit x86 PCs, cross-compiled with Debian's g++-i686-linux-gnu and
# run under qemu-i386 where it is installed: an x86_64 kernel can be built or
# booted without 32-bit support, and then cannot run the program. Without
# qemu-i386, an x86 host runs it as it is.
set(CMAKE_SYSTEM_NAME Linux)
set(triplet i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(emulator qemu-i386)
if(CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
  set(BINSEARCH_HOST_RUNS_IT ON)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
