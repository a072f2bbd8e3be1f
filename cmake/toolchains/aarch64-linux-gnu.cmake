# 64-bit ARM, Debian's arm64 (a Raspberry Pi with the 64-bit OS):
# crossbuild-essential-arm64, tests under qemu-aarch64.
set(KAVEX_TRIPLET aarch64-linux-gnu)
set(KAVEX_QEMU qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
