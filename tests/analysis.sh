#!/usr/bin/env bash
# Static analysis of the system's code (src/, every program there) and of the simulation
# (src/platform/sim/, simulator/), from a build's compile_commands.json, so that every source file
# a build compiles there is covered. Fails on any finding.
#   clang-tidy  the checks named in .clang-tidy, every file in parallel
#   cppcheck    warning, performance and portability checks; a false alarm is suppressed where it
#               stands with `// cppcheck-suppress ID ; reason`
# Usage: analysis.sh clang-tidy|cppcheck BUILD-DIR [JOBS]   (e.g. tests/analysis.sh cppcheck build/host)
set -euo pipefail
tool=$1
build=$(cd "$2" && pwd)
jobs=${3:-$(nproc)}
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The database cut down to the analysed files (generated sources and tests left out).
python3 - "$build/compile_commands.json" "$source" "$work/compile_commands.json" <<'PY'
import json, sys
entries, source, out = json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3]
roots = (source + "/src/", source + "/simulator/")
kept, seen = [], set()
for e in entries:
    f = e["file"]
    if f.startswith(roots) and f.endswith(".cpp") and f not in seen:
        seen.add(f)
        kept.append(e)
json.dump(kept, open(out, "w"), indent=1)
PY
count=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' "$work/compile_commands.json")
[ "$count" -gt 0 ] || { echo "FAIL: no source file of src/ or simulator/ in $build/compile_commands.json"; exit 1; }

case "$tool" in
clang-tidy)
    # gcc's own warning options are unknown to clang's front end: not a finding.
    run-clang-tidy -p "$work" -j "$jobs" -quiet \
        -extra-arg=-Wno-unknown-warning-option >"$work/out" 2>&1 || true
    if grep -E '(warning|error):' "$work/out"; then
        echo "FAIL: clang-tidy findings in $count files (above)"
        exit 1
    fi
    echo "clang-tidy: $count files, no findings"
    ;;
cppcheck)
    # Left out: passedByValue (the style passes plain values such as paths by value, as
    # .clang-tidy says); missingIncludeSystem (the standard headers are not analysed).
    cppcheck --project="$work/compile_commands.json" -j "$jobs" --quiet --error-exitcode=1 \
        --enable=warning,performance,portability --inline-suppr --std=c++20 --library=posix \
        --suppress=missingIncludeSystem --suppress=passedByValue \
        --template="{file}:{line}: {severity}: {message} [{id}]" \
        2>&1 | tee "$work/out" || { echo "FAIL: cppcheck findings (above)"; exit 1; }
    [ ! -s "$work/out" ] || { echo "FAIL: cppcheck findings (above)"; exit 1; }
    echo "cppcheck: $count files, no findings"
    ;;
*)
    echo "unknown tool $tool"
    exit 2
    ;;
esac
