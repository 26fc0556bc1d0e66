# Linux on 32-bit x86 PCs, cross-compiled with Debian's g++-i686-linux-gnu and
# run under qemu-i386 where it is installed. Without qemu-i386 the tests run
# it as it is if the kernel runs 32-bit x86 programs, which an x86_64 kernel
# can be built or booted without (tests/CMakeLists.txt asks it).
set(CMAKE_SYSTEM_NAME Linux)
set(triplet i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(emulator qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
