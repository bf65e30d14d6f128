#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs inside a loopback-only namespace (bench/rollout.sh puts it there). What a rollout adds to
# programming: one multi-address uvq-sim (replies 5 ms late, every image checked), a 32 KiB image.
#  1. 256 units: a plain `uvq program` of all of them at once, then a rollout of the same units
#     (one group, claims, leases, history) run with --parallel 256; groups run one after
#     another by design, so UVQ_ROLLOUT_GROUP_SIZE=64 shows what four groups cost;
#  2. 512 units: one station with --parallel 128, then two stations sharing a fresh rollout of
#     the same units, --parallel 128 each.
# Figures: wall time of each (the two stations: until both have ended).
#   measure-rollout.sh BUILD_DIR [DB]     DB: a postgresql:// URL; default a SQLite file
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work XDG_DATA_HOME=$work/data
db=${2:-$work/rollouts.sqlite3}
cd "$build"
head -c 32768 /dev/urandom >"$work/img.bin"
./uvq-sim make-image "$work/img.bin" "$work/img.cry" >/dev/null
./uvq-sim --bind 127.0.20.1-127.0.22.0 --one-socket --quiet --loader-mode --delay-ms 5 \
  --expect "$work/img.bin" >"$work/sim.log" 2>&1 &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 200); do grep -qs listening "$work/sim.log" && break; sleep 0.02; done

targets() {  # COUNT FILE
  : >"$2"
  for i in $(seq 1 "$1"); do echo "127.0.$((20 + i / 256)).$((i % 256))" >>"$2"; done
}
seconds() { /usr/bin/time -f %e -o "$work/t" "$@" >"$work/out" 2>&1 || { cat "$work/out" >&2; exit 1; }; cat "$work/t"; }
tag=$RANDOM

targets 256 "$work/t256"
plain=$(seconds ./uvq program "$work/img.cry" --targets-file "$work/t256" --quiet --db "$db")
./uvq rollout create "b256-$tag" "$work/img.cry" --targets-file "$work/t256" \
  --group-size "${UVQ_ROLLOUT_GROUP_SIZE:-256}" --db "$db" >/dev/null
rollout=$(seconds ./uvq rollout run "b256-$tag" --parallel 256 --quiet --db "$db")
echo "256 units: plain program ${plain} s, rollout ${rollout} s" \
  "($(awk -v a="$rollout" -v b="$plain" 'BEGIN { printf "%.2f", a / b }') x)"

targets 512 "$work/t512"
./uvq rollout create "one-$tag" "$work/img.cry" --targets-file "$work/t512" --db "$db" >/dev/null
one=$(seconds ./uvq rollout run "one-$tag" --parallel 128 --quiet --db "$db" --station s1)
./uvq rollout create "two-$tag" "$work/img.cry" --targets-file "$work/t512" --db "$db" >/dev/null
start=$(date +%s.%N)
./uvq rollout run "two-$tag" --parallel 128 --quiet --db "$db" --station s1 >"$work/a" 2>&1 &
first=$!
./uvq rollout run "two-$tag" --parallel 128 --quiet --db "$db" --station s2 >"$work/b" 2>&1
wait $first
two=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }')
echo "512 units: one station ${one} s, two stations ${two} s" \
  "($(awk -v a="$two" -v b="$one" 'BEGIN { printf "%.2f", a / b }') x)"
echo "images confirmed: $(grep -c 'IMAGE OK' "$work/sim.log") (256 + 256 + 512 + 512 = 1536)"
