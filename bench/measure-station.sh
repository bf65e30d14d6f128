#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs inside a loopback-only namespace (bench/station.sh puts it there). One uvq-sim serves
# 127.0.7.1 onwards (twice as many addresses as the largest station, a unit each: uvq's, then the
# floor's) with --delay-ms 5 and checks every image
# (IMAGE OK); for each station size uvq programs a 32 KiB image into that many units at once.
# Figures: wall time of the uvq process, aggregate records per second over that wall time, and
# CPU (user + sys of the uvq process, from /usr/bin/time) per record. After each uvq run the
# floor (uvq-bench-batch: the same records to as many units of the same emulator, one socket,
# sendmmsg/recvmmsg, nothing else) runs, and its CPU per record (from its own getrusage) is
# printed beside uvq's with their ratio (uvq / floor).
#   measure-station.sh BUILD_DIR REPETITIONS
set -euo pipefail
build=$(cd "$1" && pwd)
reps=$2
sizes=(${UVQ_STATION_SIZES:-1 256 1024})
work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work
# Runs are recorded in a history of their own, never in the user's; UVQ_STATION_ARGS adds
# options to every run (e.g. --no-history, to measure what recording costs).
export XDG_DATA_HOME=$work/data
read -r -a extra_args <<<"${UVQ_STATION_ARGS:-}"
cd "$build"

head -c 32768 /dev/urandom >"$work/img.bin"
./uvq-sim make-image "$work/img.bin" "$work/img.cry" >/dev/null
records_per_unit=$(($(stat -c %s "$work/img.cry") / 24))

largest=0
for size in "${sizes[@]}"; do [ "$size" -gt "$largest" ] && largest=$size; done
# Unit i (from 0) is at 127.0.(7 + (i + 1) / 256).((i + 1) % 256), as run_station lists them.
# uvq programs the first LARGEST addresses; the floor's units are the next LARGEST, as uvq ends
# each run by resetting its units out of loader mode and the floor sends records only.
address() { echo "127.0.$((7 + $1 / 256)).$(($1 % 256))"; }
last=$(address $((2 * largest)))
floor_first=$(address $((largest + 1)))
./uvq-sim --bind "127.0.7.1-$last" --same-id --one-socket --quiet --loader-mode --delay-ms 5 \
  --expect "$work/img.bin" >"$work/sim.log" 2>&1 &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 200); do
  grep -qs listening "$work/sim.log" && break
  sleep 0.02
done
grep -q listening "$work/sim.log" || { echo "uvq-sim did not start" >&2; cat "$work/sim.log" >&2; exit 1; }

# The emulator's CPU time so far (user + system, clock ticks), from /proc: it shares the two
# cores with uvq, so its cost is part of every figure.
sim_cpu_ticks() { awk '{print $14 + $15}' "/proc/$sim_pid/stat"; }

# Every image sent so far must have been confirmed before a figure counts.
confirmed=0
expect_confirmed() {  # UNITS WHAT
  confirmed=$((confirmed + $1))
  for _ in $(seq 100); do
    [ "$(grep -c 'IMAGE OK' "$work/sim.log")" -ge "$confirmed" ] && break
    sleep 0.05
  done
  if [ "$(grep -c 'IMAGE OK' "$work/sim.log")" -lt "$confirmed" ] || grep -q MISMATCH "$work/sim.log"; then
    echo "uvq-sim did not confirm every image ($2)" >&2
    grep -v 'IMAGE OK' "$work/sim.log" | tail -20 >&2
    exit 1
  fi
}

field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p"; }
results=$work/results
: >"$results"
run_station() {  # UNITS
  local units=$1 i
  : >"$work/targets"
  for i in $(seq 0 $((units - 1))); do
    echo "127.0.$((7 + (i + 1) / 256)).$(((i + 1) % 256))" >>"$work/targets"
  done
  local sim_before sim_after
  sim_before=$(sim_cpu_ticks)
  if ! /usr/bin/time -f "%e %U %S" -o "$work/time" \
    ./uvq program "$work/img.cry" --targets-file "$work/targets" --quiet "${extra_args[@]}" \
      >"$work/uvq.out" 2>&1; then
    echo "uvq failed with $units units:" >&2
    tail -20 "$work/uvq.out" >&2
    exit 1
  fi
  sim_after=$(sim_cpu_ticks)
  expect_confirmed "$units" "uvq, $units units"
  # The floor: the same records to the same units of the same emulator, one socket, batched.
  local floor
  if ! floor=$(./uvq-bench-batch --image "$work/img.cry" --units "$units" --first "$floor_first" \
    --limit-s 300); then
    echo "uvq-bench-batch failed with $units units" >&2
    exit 1
  fi
  expect_confirmed "$units" "floor, $units units"
  read -r wall user sys <"$work/time"
  awk -v n="$units" -v r="$records_per_unit" -v w="$wall" -v u="$user" -v s="$sys" \
    -v t="$((sim_after - sim_before))" -v hz="$(getconf CLK_TCK)" \
    -v fw="$(field seconds <<<"$floor")" -v fc="$(field cpu_us_per_record <<<"$floor")" \
    -v fr="$(field resends <<<"$floor")" 'BEGIN {
    total = n * r
    c = (u + s) * 1e6 / total
    printf "units=%d records=%d wall_s=%.2f records_per_s=%.0f cpu_us_per_record=%.2f sim_cpu_us_per_record=%.1f floor_wall_s=%.2f floor_cpu_us_per_record=%.2f cpu_ratio=%.2f floor_resends=%d\n",
      n, total, w, total / w, c, t / hz * 1e6 / total, fw, fc, (fc > 0 ? c / fc : 0), fr }' >>"$results"
}

for rep in $(seq "$reps"); do
  for units in "${sizes[@]}"; do run_station "$units"; done
  echo "repetition $rep of $reps done" >&2
done

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
med() { grep "^units=$1 " "$results" | field "$2" | median; }

echo
echo "== station: 32 KiB image ($records_per_unit records) per unit, replies 5 ms late, median of $reps =="
printf '%6s %9s %8s %11s %13s %13s %13s %15s %10s %14s\n' units records wall_s records/s \
  uvq_cpu_us/r sim_cpu_us/r floor_wall_s floor_cpu_us/r uvq/floor floor_resends
for units in "${sizes[@]}"; do
  printf '%6s %9s %8s %11s %13s %13s %13s %15s %10s %14s\n' "$units" "$((units * records_per_unit))" \
    "$(med "$units" wall_s)" "$(med "$units" records_per_s)" "$(med "$units" cpu_us_per_record)" \
    "$(med "$units" sim_cpu_us_per_record)" "$(med "$units" floor_wall_s)" \
    "$(med "$units" floor_cpu_us_per_record)" "$(med "$units" cpu_ratio)" "$(med "$units" floor_resends)"
done
awk -v a="$(med "$largest" wall_s)" -v b="$(med 1 wall_s)" -v n="$largest" \
  'BEGIN { if (b > 0) printf "station time, %d units / 1 unit: %.2f\n", n, a / b }'
