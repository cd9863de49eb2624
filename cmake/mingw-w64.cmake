# Cross-builds brenzolt.exe for 64-bit Windows with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBRENZOLT_TESTS=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(brenzolt_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${brenzolt_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${brenzolt_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${brenzolt_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${brenzolt_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe that needs only the DLLs every Windows has: the C++ runtime, libgcc
# and the threads library are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Runs the cross-built programs (try_run, CMake's own checks) through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
