#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs inside a loopback-only namespace (bench/run.sh puts it there). Every figure is taken
# against a fresh `uvq-sim --quiet` on its own 127.0.6.x address, which checks every image it
# receives (IMAGE OK); a run it does not confirm fails the benchmark.
#   measure.sh BUILD_DIR REPETITIONS
set -euo pipefail
build=$(cd "$1" && pwd)
reps=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work
cd "$build"

make_image() {  # NAME MIB
  head -c $(($2 * 1048576)) /dev/urandom >"$work/$1.bin"
  ./uvq-sim make-image "$work/$1.bin" "$work/$1.cry" >/dev/null
}
make_image img1 1
make_image img16 16

sim_pid=
start_sim() {  # ADDRESS IMAGE-BINARY PIN-PREFIX...
  local address=$1 expect=$2
  shift 2
  "$@" ./uvq-sim --bind "$address" --quiet --loader-mode --expect "$expect" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q listening "$work/sim.log" && return 0
    sleep 0.02
  done
  echo "uvq-sim did not start on $address" >&2
  exit 1
}
stop_sim() {  # fails unless every image the sim received was complete and correct
  kill "$sim_pid" && wait "$sim_pid" || true
  if ! grep -q "IMAGE OK" "$work/sim.log" || grep -q MISMATCH "$work/sim.log"; then
    echo "uvq-sim did not confirm the image:" >&2
    cat "$work/sim.log" >&2
    exit 1
  fi
}
now_ns() { date +%s%N; }
field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p"; }  # FIELD < "RESULT ... FIELD=value"

results=$work/results
: >"$results"
have_cli=0
[ -x ./uvq ] && have_cli=1

# One programming run of KIND ("wire", "handover", "window", "cli") with optional pinning.
run_one() {  # KIND PIN(0|1) IMAGE-NAME
  local kind=$1 pin=$2 image=$3 address line t0 t1
  local -a prefix=()
  [ "$pin" = 1 ] && prefix=(taskset -c 0)
  case $kind in
    wire) address=127.0.6.2 ;;
    handover) address=127.0.6.3 ;;
    window) address=127.0.6.4 ;;
    cli) address=127.0.6.1 ;;
  esac
  start_sim "$address" "$work/$image.bin" "${prefix[@]}"
  t0=$(now_ns)
  case $kind in
    wire) line=$("${prefix[@]}" ./uvq-bench-wire --target "$address" --image "$work/$image.cry") ;;
    handover)
      line=$("${prefix[@]}" ./uvq-bench-handover --target "$address" --image "$work/$image.cry") ;;
    window) line=$("${prefix[@]}" ./uvq-bench-window --program "$address" "$work/$image.cry") ;;
    cli)
      "${prefix[@]}" ./uvq program "$work/$image.cry" --target "$address" --json >"$work/cli.out"
      line="RESULT cli $(grep -o '"records_per_second":[0-9.]*' "$work/cli.out" | tail -1 |
        sed 's/"records_per_second":/records_per_s=/')" ;;
  esac
  t1=$(now_ns)
  stop_sim
  local records=$(($(stat -c %s "$work/$image.cry") / 24))
  # The external figure: the whole process, start-up and capture included.
  echo "$kind pin=$pin $line wall_records_per_s=$((records * 1000000000 / (t1 - t0)))" >>"$results"
}

kinds=(wire handover window)
[ $have_cli = 1 ] && kinds+=(cli)
for rep in $(seq "$reps"); do
  for pin in 0 1; do
    # Rotated each repetition, so no kind always runs right after the same other one.
    n=${#kinds[@]}
    for i in $(seq 0 $((n - 1))); do run_one "${kinds[$(((i + rep) % n))]}" "$pin" img1; done
  done
  echo "repetition $rep of $reps done" >&2
done

median() { sort -n | awk '{v[NR]=$1} END {if (NR==0) print "n/a"; else if (NR%2) print v[(NR+1)/2]; else printf "%.0f\n", (v[NR/2]+v[NR/2+1])/2}'; }
med() {  # KIND PIN FIELD
  grep "^$1 pin=$2 " "$results" | field "$3" | median
}

echo
echo "== records per second, 1 MiB of data ($(($(stat -c %s "$work/img1.cry") / 24)) records), median of $reps =="
printf '%-10s %14s %14s %20s\n' path unpinned "pinned (cpu 0)" "wall, unpinned/pinned"
for kind in "${kinds[@]}"; do
  printf '%-10s %14s %14s %20s\n' "$kind" "$(med "$kind" 0 records_per_s)" \
    "$(med "$kind" 1 records_per_s)" "$(med "$kind" 0 wall_records_per_s)/$(med "$kind" 1 wall_records_per_s)"
done

echo
echo "== peak memory (max RSS, KiB) =="
rss() {  # KIND IMAGE
  local address=127.0.6.5
  start_sim "$address" "$work/$2.bin"
  case $1 in
    window) /usr/bin/time -f %M -o "$work/rss" ./uvq-bench-window --program "$address" "$work/$2.cry" >/dev/null ;;
    cli) /usr/bin/time -f %M -o "$work/rss" ./uvq program "$work/$2.cry" --target "$address" --quiet >/dev/null ;;
  esac
  stop_sim
  tail -1 "$work/rss"
}
rss_kinds=(window)
[ $have_cli = 1 ] && rss_kinds+=(cli)
for kind in "${rss_kinds[@]}"; do
  printf '%-10s 1 MiB: %8s   16 MiB: %8s\n' "$kind" "$(rss "$kind" img1)" "$(rss "$kind" img16)"
done

echo
echo "== window start-up (ms, median of $reps): settings file read, form built, shown, first paint =="
printf '[Net]\nAddress=127.0.6.9\n' >"$work/uvq-loader.INI"
: >"$work/startup"
for _ in $(seq "$reps"); do
  UVQ_BENCH_LAUNCH_NS=$(now_ns) ./uvq-bench-window --startup "$work/uvq-loader" >>"$work/startup"
done
for f in app_ms form_ms show_ms first_paint_ms launch_to_paint_ms; do
  printf '%-20s %8s\n' "$f" "$(field "$f" <"$work/startup" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}')"
done

echo
echo "== ratios (medians) =="
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0 && a > 0) printf "%.3f", a / b; else print "n/a" }'; }
for pin in 0 1; do
  label=unpinned
  [ $pin = 1 ] && label="pinned  "
  line="$label window/handover $(ratio "$(med window $pin records_per_s)" "$(med handover $pin records_per_s)")"
  [ $have_cli = 1 ] && line+="   cli/wire $(ratio "$(med cli $pin records_per_s)" "$(med wire $pin records_per_s)")"
  echo "$line"
done
