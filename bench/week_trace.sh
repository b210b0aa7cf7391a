#!/usr/bin/env bash
# A week of trace in kq5trace's layout, on standard output: 756,000 status lines (one every
# 800 ms; the door opened for a minute every hour; the Spooler away for 30 s and a port read with
# a DevicePath line once a day). The same bytes every time. The trace benchmark and the checks of
# the reader (the same findings under Wine, the report in a browser) read it. It is written by
# kq5weektrace (bench/week_trace.cpp) with kq5trace's own format module, found in the host build
# folder the caller names (where its kq5sim is); built there first when it is missing.
#   bench/week_trace.sh BUILD-DIR
set -euo pipefail
build=${1:?usage: week_trace.sh BUILD-DIR (the host build folder that holds kq5weektrace)}
program=$build/kq5weektrace
if [ ! -x "$program" ]; then
    [ -f "$build/CMakeCache.txt" ] ||
        { echo "week_trace.sh: no $program, and $build is no CMake build to make it in" >&2; exit 1; }
    cmake --build "$build" --target kq5weektrace >&2
fi
exec "$program"
