#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The one benchmark command: builds the shipped configuration (RelWithDebInfo) in build-bench,
# then measures everything inside a loopback-only network namespace against uvq-sim.
#   bash bench/run.sh [REPETITIONS]      (default 5; each figure is the median of that many runs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUVQ_BUILD_TESTS=OFF >/dev/null
targets=(uvq-sim uvq-bench-wire uvq-bench-handover uvq-bench-window)
# The command line is measured once it exists in the tree.
[ -f cli/CMakeLists.txt ] && targets+=(uvq)
cmake --build "$build" --target "${targets[@]}" -j 2
exec bash scripts/in-loopback-ns.sh bash bench/measure.sh "$build" "${1:-5}"
