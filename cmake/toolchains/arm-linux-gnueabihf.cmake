# 32-bit ARM with hardware floating point, Debian's armhf:
# crossbuild-essential-armhf, tests under qemu-arm.
set(KAVEX_TRIPLET arm-linux-gnueabihf)
set(KAVEX_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
