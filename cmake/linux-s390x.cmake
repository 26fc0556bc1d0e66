# Linux on IBM Z, cross-compiled with Debian's g++-s390x-linux-gnu and run
# under qemu-s390x. It is big-endian: tests passing there show that the
# program assumes nothing about byte order.
set(CMAKE_SYSTEM_NAME Linux)
set(triplet s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(emulator qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
