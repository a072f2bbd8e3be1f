# What the toolchain files of the targets share: Debian's cross compiler
# (crossbuild-essential-ARCH) and the target's libraries under /usr/TRIPLET,
# with the target's programs run under qemu-user.  A target's file sets
# KAVEX_TRIPLET, KAVEX_QEMU and CMAKE_SYSTEM_PROCESSOR, then includes this
# one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${KAVEX_TRIPLET}-g++)
set(CMAKE_C_COMPILER ${KAVEX_TRIPLET}-gcc)

set(KAVEX_SYSROOT /usr/${KAVEX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${KAVEX_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's loader comes from the sysroot (-L); LD_LIBRARY_PATH keeps it
# to the sysroot's libraries too, even where the host's loader cache names
# libraries of the same architecture installed through multiarch, which
# would not match that loader.  -E sets a variable for the target program
# alone, not for qemu itself.
set(CMAKE_CROSSCOMPILING_EMULATOR
  /usr/bin/${KAVEX_QEMU} -L ${KAVEX_SYSROOT} -E LD_LIBRARY_PATH=${KAVEX_SYSROOT}/lib)
