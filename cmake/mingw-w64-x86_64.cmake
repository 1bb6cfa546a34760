# Cross build of a 64-bit Windows cellscale.exe with the MinGW-w64 compilers:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCELLSCALE_BUILD_TESTS=OFF
# The executable is linked statically, so it needs no MinGW DLLs where it runs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CELLSCALE_MINGW_PREFIX x86_64-w64-mingw32)
# The posix-threads variant of the compiler is preferred where both exist (it
# carries the complete C++ library); otherwise the plain name is used.
find_program(CMAKE_CXX_COMPILER NAMES ${CELLSCALE_MINGW_PREFIX}-g++-posix ${CELLSCALE_MINGW_PREFIX}-g++ REQUIRED)
# The resource compiler makes the manifest and version resource of cellscale.exe.
find_program(CMAKE_RC_COMPILER NAMES ${CELLSCALE_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${CELLSCALE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# zlib (Debian: libz-mingw-w64-dev) goes into the executable too.
set(ZLIB_USE_STATIC_LIBS ON)
