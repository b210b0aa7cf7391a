#!/usr/bin/env bash
# Builds the simulator and runs the real kq5 service in the simulated Windows on the built-in
# default scenario (or on the scenario file given), printing what it does to the print queue.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/ensure-packages.sh
ensure_packages cmake ninja-build g++ libgtest-dev
cmake -S . -B build/host -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/host --target kq5sim >/dev/null
exec build/host/kq5sim "$@"
