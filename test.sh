#!/usr/bin/env bash
# Builds both builds of kq5 and runs every test:
#  - the host build: the system code against the simulated Windows, with its unit and scenario tests;
#  - the Windows x64 build: the real kq5svc.exe, cross-compiled for mingw-w64 by clang 19 (the
#    release, with Control Flow Guard), and its checks under Wine, an independent implementation
#    of the Win32 API;
#  - the same exe built by gcc, started under Wine; clang-tidy and cppcheck over the system's code.
# Ends with ctest's summary; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/ensure-packages.sh
ensure_packages cmake ninja-build g++ libgtest-dev googletest g++-mingw-w64-x86-64-posix wine wine64 \
    clang libclang-rt-14-dev lld clang-19 lld-19 clang-tidy cppcheck libxml2-utils wixl msitools \
    python3-gi gir1.2-libmsi-1.0 osslsigncode openssl chromium poppler-utils

echo "== Windows x64 build, the release (clang 19, lld 19, mingw-w64)"
cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build/win

echo "== Windows x64 build with the second compiler (gcc, GNU ld): the shipped exe only"
cmake -S . -B build/win-gcc -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/gcc-x86_64-w64-mingw32.cmake >/dev/null
cmake --build build/win-gcc --target kq5svc

echo "== Host builds with sanitizers (AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKQ5_SANITIZE=address,undefined >/dev/null
cmake --build build/asan --target kq5_tests kq5swarm
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKQ5_SANITIZE=thread >/dev/null
cmake --build build/tsan --target kq5_tests kq5swarm

echo "== Fuzz targets (clang, libFuzzer)"
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKQ5_FUZZ=ON \
    -DKQ5_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
cmake --build build/fuzz

echo "== Host build (simulated Windows)"
cmake -S . -B build/host -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DKQ5_WINDOWS_BUILD_DIR="$PWD/build/win" -DKQ5_WINDOWS_GCC_BUILD_DIR="$PWD/build/win-gcc" \
    -DKQ5_ASAN_BUILD_DIR="$PWD/build/asan" -DKQ5_TSAN_BUILD_DIR="$PWD/build/tsan" \
    -DKQ5_FUZZ_BUILD_DIR="$PWD/build/fuzz" >/dev/null
cmake --build build/host

echo "== Tests"
ctest --test-dir build/host --output-on-failure -j2
