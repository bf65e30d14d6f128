#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The window under a flood: a 1 MiB programming run of the real window (headless) against
# uvq-sim, while a mixed flood (short replies, replies echoing numbers never sent, over-long and
# empty datagrams) reaches the window's port at each RATE per second. Every run must complete
# with the image confirmed by the emulator and "Programming Complete" still in the log.
#   bash bench/flood.sh [RATE ...]      (default 0 1000 5000 20000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${UVQ_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target uvq-sim uvq-bench-window -j 2
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(0 1000 5000 20000)
exec bash scripts/in-loopback-ns.sh bash -c '
  set -euo pipefail
  cd "$1"; shift
  work=$(mktemp -d); trap "rm -rf $work" EXIT
  export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work
  head -c 1048576 /dev/urandom >"$work/img.bin"
  ./uvq-sim make-image "$work/img.bin" "$work/img.cry" >/dev/null
  for rate in "$@"; do
    ./uvq-sim --bind 127.0.6.5 --quiet --loader-mode --expect "$work/img.bin" >"$work/sim.log" 2>&1 &
    sim=$!
    sleep 0.2
    line=$(./uvq-bench-window --program 127.0.6.5 "$work/img.cry" --flood "$rate" || echo "FAILED")
    kill $sim; wait $sim 2>/dev/null || true
    verdict=OK
    grep -q "IMAGE OK" "$work/sim.log" && ! grep -q MISMATCH "$work/sim.log" || verdict=NOT-CONFIRMED
    echo "flood=$rate/s image=$verdict $line"
  done
' flood "$build" "${rates[@]}"
