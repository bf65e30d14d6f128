#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The station benchmark: one uvq run programming 1, 256 and 1 024 units at once, against one
# multi-address uvq-sim whose every reply is 5 ms late (as a slow unit would be), each followed by
# the floor (uvq-bench-batch) against the same emulator. Builds the shipped configuration in
# build-bench, then measures inside a loopback-only namespace.
#   bash bench/station.sh [REPETITIONS]     (default 1; each figure is the median)
#   UVQ_STATION_SIZES="1 1024" bash bench/station.sh   (other station sizes, up to 1 024)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target uvq-sim uvq uvq-bench-batch -j 2
exec bash scripts/in-loopback-ns.sh bash bench/measure-station.sh "$build" "${1:-1}"
