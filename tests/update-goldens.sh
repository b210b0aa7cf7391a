#!/usr/bin/env bash
# Records again what the golden tests require byte for byte: the timeline of every shipped
# scenario (tests/golden/scenarios/), a line for every run of the fault sweep
# (tests/golden/fault-sweep/: the queue's and the Spooler's events with their times, the final
# state, digests of the calls and of the whole timeline), kq5doctor's reports of each machine
# state its tests build (tests/golden/doctor/), the judge's events for its streams
# (tests/golden/judge/), what the trace reader's corpus expects of each log
# (tests/traces/**/*.expected) and the picture's golden files (tests/traces/pictures/). Run it
# after a change that is meant to change what the simulated runs, the doctor or the reader say,
# and read the difference (git diff tests/golden tests/traces) before committing it: a changed run
# of the sweep is one changed line, and the test's failure before the update wrote out the first
# few such runs whole.
# Usage: tests/update-goldens.sh [BUILD_DIR]   (default: build/host, configured as test.sh does)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
if [[ ! -f $build/build.ninja ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" --target kq5_tests
rm -rf tests/golden/scenarios tests/golden/fault-sweep tests/golden/doctor
KQ5_UPDATE_GOLDENS=1 "$build/tests/kq5_tests" --gtest_brief=1 \
    --gtest_filter='Golden.*:*/GoldenSweep.*:DoctorGolden.*:TraceCorpus.*:TracePicture.Golden*:JudgeGolden.*'
git status --short tests/golden tests/traces
