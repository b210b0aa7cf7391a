#!/usr/bin/env bash
# Builds the simulator and runs the real kq5 service in the simulated Windows on the built-in
# default scenario (or on the scenario file given), printing what it does to the print queue and
# drawing the run as a picture (build/host/NAME.svg, for any browser).
#   ./run.sh                 the default scenario, picture build/host/default.svg
#   ./run.sh FILE            a scenario file, picture build/host/FILE-NAME.svg
#   ./run.sh [OPTION]...     kq5sim itself, e.g. ./run.sh --help
set -euo pipefail
cd "$(dirname "$0")"
source scripts/ensure-packages.sh
ensure_packages cmake ninja-build g++ libgtest-dev
cmake -S . -B build/host -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/host --target kq5sim >/dev/null
if [ $# -eq 0 ]; then
    set -- --svg build/host/default.svg
elif [ $# -eq 1 ] && [[ $1 != -* ]]; then
    name=$(basename "$1")
    set -- --svg "build/host/${name%.kq5}.svg" "$1"
fi
exec build/host/kq5sim "$@"
