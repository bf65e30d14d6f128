#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs inside a loopback-only namespace (bench/memory.sh puts it there). Peak resident memory of
# the uvq process (max RSS, as the kernel reports it to the waiting parent: /usr/bin/time %M),
# for each station size with a 32 KiB image against one uvq-sim serving 127.0.7.1 onwards with
# --delay-ms 5, then one unit with a large image against a uvq-sim at 127.0.6.1 with no delay.
#   measure-memory.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
sizes=(${UVQ_MEMORY_SIZES:-1 256 1024 2048})
big_mib=${UVQ_MEMORY_BIG_MIB:-16}
work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work
# Runs are recorded in a history of their own, never in the user's.
export XDG_DATA_HOME=$work/data
cd "$build"
sim_pids=()
trap 'for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

start_sim() {  # LOG ARGS...: an emulator that checks every image, up once it says so
  local log=$1
  shift
  ./uvq-sim "$@" --quiet --loader-mode >"$log" 2>&1 &
  sim_pids+=($!)
  for _ in $(seq 200); do
    grep -qs listening "$log" && return 0
    sleep 0.02
  done
  echo "uvq-sim did not start" >&2
  cat "$log" >&2
  exit 1
}

confirmed_in() {  # LOG COUNT: wait until the emulator has confirmed COUNT images, none wrong
  for _ in $(seq 100); do
    [ "$(grep -c 'IMAGE OK' "$1")" -ge "$2" ] && break
    sleep 0.05
  done
  if [ "$(grep -c 'IMAGE OK' "$1")" -lt "$2" ] || grep -q MISMATCH "$1"; then
    echo "uvq-sim did not confirm every image" >&2
    grep -v 'IMAGE OK' "$1" | tail -20 >&2
    exit 1
  fi
}

peak_rss_kib() {  # IMAGE TARGETS_FILE: uvq's peak RSS in KiB
  if ! /usr/bin/time -f "%M" -o "$work/time" \
    ./uvq program "$1" --targets-file "$2" --quiet >"$work/uvq.out" 2>&1; then
    echo "uvq failed:" >&2
    tail -20 "$work/uvq.out" >&2
    exit 1
  fi
  tail -1 "$work/time"
}

address() { echo "127.0.$((7 + $1 / 256)).$(($1 % 256))"; }

head -c 32768 /dev/urandom >"$work/img.bin"
./uvq-sim make-image "$work/img.bin" "$work/img.cry" >/dev/null
largest=0
for size in "${sizes[@]}"; do [ "$size" -gt "$largest" ] && largest=$size; done
start_sim "$work/sim.log" --bind "127.0.7.1-$(address "$largest")" --one-socket --delay-ms 5 \
  --expect "$work/img.bin"

results=()
confirmed=0
for units in "${sizes[@]}"; do
  : >"$work/targets"
  for i in $(seq 1 "$units"); do address "$i" >>"$work/targets"; done
  rss=$(peak_rss_kib "$work/img.cry" "$work/targets")
  confirmed=$((confirmed + units))
  confirmed_in "$work/sim.log" "$confirmed"
  results+=("$units 32KiB $rss")
  echo "units=$units peak_rss_kib=$rss" >&2
done

# The station's emulator holds the port on every loopback address: it goes first.
kill "${sim_pids[0]}"
wait "${sim_pids[0]}" 2>/dev/null || true
head -c $((big_mib * 1048576)) /dev/urandom >"$work/big.bin"
./uvq-sim make-image "$work/big.bin" "$work/big.cry" >/dev/null
start_sim "$work/big.log" --bind 127.0.6.1 --expect "$work/big.bin"
echo 127.0.6.1 >"$work/big-target"
rss=$(peak_rss_kib "$work/big.cry" "$work/big-target")
confirmed_in "$work/big.log" 1
results+=("1 ${big_mib}MiB $rss")

one=""
echo
echo "== uvq peak resident memory (max RSS), every image confirmed by uvq-sim =="
printf '%6s %7s %14s %18s %22s\n' units image peak_rss_kib rss_kib_per_unit added_kib_per_unit
for line in "${results[@]}"; do
  read -r units image rss <<<"$line"
  [ "$units" = 1 ] && [ "$image" = 32KiB ] && one=$rss
  awk -v n="$units" -v i="$image" -v r="$rss" -v o="$one" 'BEGIN {
    added = (n > 1 && o != "") ? sprintf("%.2f", (r - o) / (n - 1)) : "-"
    printf "%6d %7s %14d %18.1f %22s\n", n, i, r, r / n, added }'
done
echo "(added_kib_per_unit: growth over the one-unit run, per further unit in flight)"
