# Cross-builds brenzolt for Linux on arm64 with Debian's cross compiler
# (package g++-aarch64-linux-gnu); the programs it builds run here under
# qemu-aarch64 (package qemu-user):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# The tests build their own GoogleTest for arm64 from Debian's googletest
# sources.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(brenzolt_arm64 aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${brenzolt_arm64}-gcc)
set(CMAKE_CXX_COMPILER ${brenzolt_arm64}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${brenzolt_arm64})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Runs the cross-built programs (try_run, the tests' discovery, ctest) under
# qemu, with the arm64 C and C++ libraries of the cross compiler.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${brenzolt_arm64})
