# Cross-compiles the Windows x64 build with Debian's mingw-w64 gcc (posix threads variant: the
# win32 variant has no std::thread or std::mutex), linked with GNU ld: the second compiler over
# the same sources, kept warning-free. gcc 12 has no Control Flow Guard: this build is not
# released (the release is cmake/mingw-w64-x86_64.cmake's, clang and lld).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
