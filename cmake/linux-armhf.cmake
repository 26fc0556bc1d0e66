# Linux on 32-bit ARMv7 and later with hardware floating point (Raspberry Pi
# OS 32-bit on a Pi 2 or newer), cross-compiled with Debian's
# g++-arm-linux-gnueabihf and run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(triplet arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(emulator qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
