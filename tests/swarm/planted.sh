#!/usr/bin/env bash
# The swarm proves its power: each fault under tests/swarm/planted/ (a guarantee of the spooler
# restart broken, or a fault fixed before put back) is applied, one at a time, to a copy of the
# sources; kq5swarm built there must find it within its budget. Prints, for each, the seed that
# found it, the broken invariant, the runs and the seconds it took.
#   planted.sh SOURCE_DIR WORK_DIR [DAYS]
set -euo pipefail
source=$(cd "$1" && pwd) work=$2 days=${3:-2}
mkdir -p "$work"
work=$(cd "$work" && pwd)
rm -rf "$work/src" "$work/found"
mkdir -p "$work/src" "$work/found"
# The sources as the work tree has them (untracked files included, build output not).
(cd "$source" && git ls-files -co --exclude-standard -z) |
    (cd "$source" && tar --null -T - -cf -) | tar -C "$work/src" -m -xf -
# (-m: the copies get new times, so that a build left from an earlier run sees every change)
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
seeds=1,2,3,4,5,6,7,8
missed=0
printf '%-32s %-40s %s\n' "planted fault" "found by" "after"
for patch in "$source"/tests/swarm/planted/*.patch; do
    name=$(basename "$patch" .patch)
    # Outside any repository (the copy may lie inside one, a build folder of a clone): git apply
    # in a repository's subfolder would skip every path of the patch without a word.
    GIT_CEILING_DIRECTORIES=$work git -C "$work/src" apply "$patch"
    cmake --build "$work/build" --target kq5swarm >/dev/null
    set +e
    output=$("$work/build/tools/swarm/kq5swarm" --seeds "$seeds" --commit planted --commit-seeds 0 \
        --days "$days" --out "$work/found" 2>&1)
    status=$?
    set -e
    GIT_CEILING_DIRECTORIES=$work git -C "$work/src" apply -R "$patch"
    line=$(grep -m1 ' broke ' <<<"$output" || true)
    if [[ $status == 1 && -n $line ]]; then
        # "seed S broke INVARIANT (run N, T s): ..."
        seed=$(sed -E 's/^seed ([0-9]+) broke .*/\1/' <<<"$line")
        invariant=$(sed -E 's/^seed [0-9]+ broke ([a-z-]+) .*/\1/' <<<"$line")
        when=$(sed -E 's/.*\((run [0-9]+, [0-9.]+ s)\).*/\1/' <<<"$line")
        printf '%-32s %-40s %s\n' "$name" "seed $seed, $invariant" "$when"
    else
        printf '%-32s %-40s %s\n' "$name" "NOT FOUND" "within $days simulated days"
        missed=$((missed + 1))
    fi
done
cmake --build "$work/build" --target kq5swarm >/dev/null
if [[ $missed != 0 ]]; then
    echo "planted faults not found: $missed"
    exit 1
fi
echo "every planted fault found"
