# Linux on 64-bit ARM (Raspberry Pi OS 64-bit, most ARM boards), cross-compiled
# with Debian's g++-aarch64-linux-gnu and run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(triplet aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(emulator qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
