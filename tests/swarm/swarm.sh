#!/usr/bin/env bash
# The swarm's budget in the test command: a fixed list of seeds and seeds derived from the commit
# under test (the same for one commit, new for the next), all printed by kq5swarm.
#   swarm.sh KQ5SWARM SOURCE_DIR OUT_DIR [DAYS [PCT_DEPTH]]
# DAYS (default: the fixed seeds only; 0 for that) runs further derived seeds until that many
# simulated days. PCT_DEPTH runs each seed's scenario under a PCT schedule of that depth as well.
set -euo pipefail
swarm=$1 source=$2 out=$3 days=${4:-0} pct=${5:-0}
mkdir -p "$out"
commit=$(git -C "$source" rev-parse HEAD 2>/dev/null || echo "no-commit")
# Seeds that once found faults, and a few plain ones.
fixed=547630813,181501167,797778486,814497423,159175105,894595844,674299949,13649734,1,2,3
args=(--seeds "$fixed" --commit "$commit" --commit-seeds 4 --out "$out")
if [[ $days != 0 ]]; then
    args+=(--days "$days")
fi
if [[ $pct != 0 ]]; then
    args+=(--pct "$pct")
fi
echo "commit $commit"
exec "$swarm" "${args[@]}"
