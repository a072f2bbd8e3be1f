# Prints the emulator with which a toolchain file runs the target's
# programs, a word a line, for the scripts outside CMake (make package):
#   cmake -DTOOLCHAIN=cmake/toolchains/TRIPLET.cmake -P cmake/emulator.cmake
include(${TOOLCHAIN})
foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
  message(NOTICE "${word}")
endforeach()
