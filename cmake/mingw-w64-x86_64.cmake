# Cross-compiles the Windows x64 build, the one released, with clang 19 and lld 19 (Debian's
# clang-19 and lld-19) for the x86_64-w64-mingw32 target: against Debian's mingw-w64 headers and
# runtime and its gcc's libstdc++ (posix threads variant: the win32 variant has no std::thread or
# std::mutex). Resources are compiled by windres. clang 19 compiles Control Flow Guard's checks
# (-mguard=cf) and lld 19 writes its tables (cmake/kq5-hardening.cmake); gcc, the second compiler,
# has cmake/gcc-x86_64-w64-mingw32.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_SYSROOT /usr/x86_64-w64-mingw32)

# clang does not find Debian's mingw-w64 gcc by itself: name its libstdc++ headers and libraries.
# -fuse-ld=lld takes the lld beside clang-19 (/usr/lib/llvm-19/bin), lld 19.
set(kq5_mingw_gcc /usr/lib/gcc/x86_64-w64-mingw32/12-posix)
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${kq5_mingw_gcc}/include/c++ -isystem ${kq5_mingw_gcc}/include/c++/x86_64-w64-mingw32 -isystem ${kq5_mingw_gcc}/include/c++/backward")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${kq5_mingw_gcc} -static")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
