# Cross-compiles the Windows x64 build with clang instead of gcc: a second compiler over the same
# sources, against the same mingw-w64 headers and libraries and gcc's libstdc++ (posix threads
# variant), linked with lld. Resources are still compiled by windres.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_SYSROOT /usr/x86_64-w64-mingw32)

# clang does not find Debian's mingw-w64 gcc by itself: name its libstdc++ headers and libraries.
set(kq5_mingw_gcc /usr/lib/gcc/x86_64-w64-mingw32/12-posix)
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${kq5_mingw_gcc}/include/c++ -isystem ${kq5_mingw_gcc}/include/c++/x86_64-w64-mingw32 -isystem ${kq5_mingw_gcc}/include/c++/backward")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${kq5_mingw_gcc} -static")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
