# 64-bit IBM Z, big-endian, Debian's s390x: crossbuild-essential-s390x,
# tests under qemu-s390x.  Every field of the node's files is stored
# little-endian, so this target shows that each one is decoded as stored.
set(KAVEX_TRIPLET s390x-linux-gnu)
set(KAVEX_QEMU qemu-s390x)
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
