#!/usr/bin/env bash
# The swarm proves its power: each fault under tests/swarm/planted/ (a guarantee broken, or a
# fault fixed before put back) is applied, one at a time, to a copy of the sources; kq5swarm built
# there must find it within its budget and name exactly the invariant that planted/faults.txt
# gives for it, and no other. Every invariant that kq5swarm lists must be named by some fault: a
# check made vacuous by mistake then fails here. Prints, for each fault, what found it (a seed, or
# the scenario NAME.kq5 made for it), the invariants named, the runs and the seconds it took;
# the swarm's whole output for each is kept in WORK_DIR/found/NAME.out.
#   planted.sh SOURCE_DIR WORK_DIR [DAYS [FAULT...]]   (FAULT...: only these, for a quick look)
set -euo pipefail
source=$(cd "$1" && pwd) work=$2 days=${3:-2}
shift $(($# < 3 ? $# : 3))
only=("$@")
planted=$source/tests/swarm/planted
mkdir -p "$work"
work=$(cd "$work" && pwd)
rm -rf "$work/src" "$work/found"
mkdir -p "$work/src" "$work/found"
# The sources as the work tree has them (untracked files included, build output not).
(cd "$source" && git ls-files -co --exclude-standard -z) |
    (cd "$source" && tar --null -T - -cf -) | tar -C "$work/src" -m -xf -
# (-m: the copies get new times, so that a build left from an earlier run sees every change)
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
swarm=$work/build/tools/swarm/kq5swarm
cmake --build "$work/build" --target kq5swarm >/dev/null

# The table: "fault invariant" lines, '#' comments.
table=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$planted/faults.txt")
failed=0
fail() {
    echo "$1"
    failed=$((failed + 1))
}
for patch in "$planted"/*.patch; do
    name=$(basename "$patch" .patch)
    awk -v n="$name" '$1 == n { found = 1 } END { exit !found }' <<<"$table" ||
        fail "$name.patch has no line in planted/faults.txt"
done
while read -r name _; do
    [[ -f $planted/$name.patch ]] || fail "planted/faults.txt names $name, which has no patch"
done <<<"$table"
# Every invariant is some fault's: "| `name` | why | not promised when |" rows.
while read -r invariant; do
    awk -v i="$invariant" '$2 == i { found = 1 } END { exit !found }' <<<"$table" ||
        fail "no planted fault breaks $invariant"
done < <("$swarm" --invariants | sed -nE 's/^\| `([a-z0-9-]+)` \|.*/\1/p')

# A scenario whose header has the line "# explore" is run under every schedule with at most two
# preemptions at Win32 calls (kq5swarm --explore), for a fault only an interleaving shows.
run_scenario() {
    if grep -qx '# explore' "$1"; then
        "$swarm" --explore "$1" --out "$work/found"
    else
        "$swarm" --check "$1"
    fi
}
# A scenario made for a fault proves something only if kq5 as it stands holds it.
for scenario in "$planted"/*.kq5; do
    [[ -f $scenario ]] || continue
    run_scenario "$scenario" >/dev/null ||
        fail "$(basename "$scenario") breaks an invariant without its fault"
done

# Runs the swarm on the copy with one fault applied: its output.
run_swarm() {
    local name=$1
    if [[ -f $planted/$name.kq5 ]]; then
        run_scenario "$planted/$name.kq5" 2>&1
    else
        "$swarm" --seeds 1,2,3,4,5,6,7,8 --commit planted --commit-seeds 0 --days "$days" \
            --out "$work/found" 2>&1
    fi
}

printf '%-34s %-52s %s\n' "planted fault" "found by" "after"
while read -r name expected; do
    if [[ ${#only[@]} != 0 && " ${only[*]} " != *" $name "* ]]; then
        continue
    fi
    patch=$planted/$name.patch
    # Outside any repository (the copy may lie inside one, a build folder of a clone): git apply
    # in a repository's subfolder would skip every path of the patch without a word.
    GIT_CEILING_DIRECTORIES=$work git -C "$work/src" apply "$patch"
    cmake --build "$work/build" --target kq5swarm >/dev/null
    set +e
    output=$(run_swarm "$name")
    status=$?
    printf '%s\n' "$output" >"$work/found/$name.out"
    set -e
    GIT_CEILING_DIRECTORIES=$work git -C "$work/src" apply -R "$patch"
    # "seed S broke I (run N, T s): ...", "seed S also broke J: ...", "FILE broke I: ..."
    named=$(grep -oE ' broke [a-z0-9-]+' <<<"$output" | awk '{ print $2 }' | sort -u | paste -sd, - || true)
    by=$(sed -nE 's/^seed ([0-9]+) broke .*/seed \1/p' <<<"$output" | head -1)
    when=$(sed -nE 's/.*\((run [0-9]+, [0-9.]+ s)\).*/\1/p' <<<"$output" | head -1)
    if [[ -f $planted/$name.kq5 ]]; then
        by="$name.kq5" when="its scenario"
    fi
    if [[ $status == 1 && $named == "$expected" ]]; then
        printf '%-34s %-52s %s\n' "$name" "$by, $named" "$when"
    elif [[ $status == 1 && -n $named ]]; then
        printf '%-34s %-52s %s\n' "$name" "$by, $named" "$when"
        fail "$name: the swarm named $named, not $expected alone"
    else
        printf '%-34s %-52s %s\n' "$name" "NOT FOUND" "within $days simulated days"
        fail "$name: not found ($expected)"
    fi
done <<<"$table"
cmake --build "$work/build" --target kq5swarm >/dev/null
if [[ $failed != 0 ]]; then
    echo "planted faults not found, or found by another invariant: $failed"
    exit 1
fi
echo "every planted fault found, each by its own invariant"
