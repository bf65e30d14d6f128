#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The history's queries on a large SQLite history (shipped configuration, build-bench):
#   bash bench/history.sh [ROWS] [UNITS]     (default 1000000 rows over 1000 units)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target uvq-bench-history -j 2
exec "$build/uvq-bench-history" "${1:-1000000}" "${2:-1000}"
