#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# uvq programs an image into uvq-sim on 127.0.99.1 and the unit confirms every byte; neither
# program links Qt. Run it in a loopback-only namespace (CTest: scripts/in-loopback-ns.sh).
#   cli-smoke.sh UVQ UVQ_SIM VERSION
set -euo pipefail
uvq=$1 sim=$2 version=$3
address=127.0.99.1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Waits (a generous bound only tells a hang from a slow machine) until FILE holds TEXT.
wait_for() {
  local file=$1 text=$2 tries=0
  until grep -qF -- "$text" "$file" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -le 3000 ] || return 1
    sleep 0.01
  done
}

for program in "$uvq" "$sim"; do
  if readelf -d "$program" | grep -E 'NEEDED.*libQt' >/dev/null; then
    fail "$(basename "$program") links Qt"
  fi
  got=$("$program" --version)
  [ "$got" = "$(basename "$program") $version" ] || fail "$program --version says '$got'"
done

"$sim" --help | grep -q "at most 2048 of them" || fail "uvq-sim --help does not give its address limit"

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

head -c 4000 /dev/urandom >"$work/image.bin"
"$sim" make-image "$work/image.bin" "$work/image.cry"
"$sim" --bind "$address" --expect "$work/image.bin" >"$work/sim.log" 2>&1 &
sim_pid=$!
wait_for "$work/sim.log" "uvq-sim listening on $address:16388" || fail "uvq-sim did not start"

status=0
"$uvq" program "$work/image.cry" --target "$address" >"$work/uvq.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat "$work/uvq.out"; fail "uvq program exited $status"; }
wait_for "$work/sim.log" "IMAGE OK" || { tail -5 "$work/sim.log"; fail "the unit did not confirm the image"; }
if grep -q "IMAGE MISMATCH" "$work/sim.log"; then fail "the unit found a mismatch"; fi

[ "$failures" -eq 0 ] || exit 1
echo "uvq programmed $address; the unit confirmed the image"
