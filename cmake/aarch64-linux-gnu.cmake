# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu; the
# unit tests run under qemu-user's qemu-aarch64 (CMake's cross-compiling emulator).
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ARM64_TRIPLE aarch64-linux-gnu)
find_program(CMAKE_CXX_COMPILER NAMES ${ARM64_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${ARM64_TRIPLE}-gcc)

set(CMAKE_FIND_ROOT_PATH /usr/${ARM64_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's loader and libraries live under /usr/aarch64-linux-gnu on this host.
find_program(ARM64_QEMU NAMES qemu-aarch64 qemu-aarch64-static)
if(ARM64_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ARM64_QEMU} -L /usr/${ARM64_TRIPLE})
endif()
