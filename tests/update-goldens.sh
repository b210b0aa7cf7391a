#!/usr/bin/env bash
# Records again the timelines that tests/golden_test.cpp requires byte for byte: every shipped
# scenario (tests/golden/scenarios/) and every run of the fault sweep (tests/golden/fault-sweep/).
# Run it after a change that is meant to change what the simulated runs do, and read the
# difference (git diff tests/golden) before committing it.
# Usage: tests/update-goldens.sh [BUILD_DIR]   (default: build/host, configured as test.sh does)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
if [[ ! -f $build/build.ninja ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" --target kq5_tests
rm -rf tests/golden
KQ5_UPDATE_GOLDENS=1 "$build/tests/kq5_tests" --gtest_filter='Golden.*:*/GoldenSweep.*' --gtest_brief=1
git status --short tests/golden
