# Cross build of a 64-bit ARM Linux cellscale with Debian's cross compiler:
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCELLSCALE_BUILD_TESTS=OFF
# (Debian: g++-aarch64-linux-gnu, and zlib1g-dev:arm64 once the arm64
# architecture is added). On x86-64 the tool runs under qemu-aarch64 on
# Debian's arm64 loader and libraries (libstdc++6:arm64 besides the ones the
# arm64 zlib brings), as tests/run-aarch64.sh runs it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CELLSCALE_CROSS_PREFIX aarch64-linux-gnu)
find_program(CMAKE_CXX_COMPILER NAMES ${CELLSCALE_CROSS_PREFIX}-g++ REQUIRED)

# The C and C++ libraries linked against are the cross compiler's, under
# /usr/aarch64-linux-gnu; zlib is Debian's arm64 package, in the system's
# multiarch folders (/usr/lib/aarch64-linux-gnu, /usr/include). The
# architecture is named so that the host's x86-64 libraries are never
# searched.
set(CMAKE_LIBRARY_ARCHITECTURE ${CELLSCALE_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH /usr/${CELLSCALE_CROSS_PREFIX} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
