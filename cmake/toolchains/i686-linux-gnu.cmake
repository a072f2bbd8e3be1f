# 32-bit x86, Debian's i386: crossbuild-essential-i386, tests under qemu-i386.
set(KAVEX_TRIPLET i686-linux-gnu)
set(KAVEX_QEMU qemu-i386)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
