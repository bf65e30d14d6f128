#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The rollout store at scale (shipped configuration, build-bench), on a throw-away PostgreSQL
# server (the test suites' script: Unix socket only, no TCP port) and on a SQLite file:
#   bash bench/store.sh [UNITS] [HISTORY_ROWS] [SECONDS]   (default 100000, 1000000, 10)
# UVQ_BENCH_STORE=PROGRAM runs that build of uvq-bench-store instead (an older one, to compare).
# Prints, per engine: the history's fill and its default queries on HISTORY_ROWS rows, the
# rollout's create time, unit ends per second with 1 and 16 stations, and the dashboard's
# latencies meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
bench=${UVQ_BENCH_STORE:-}
if [ -z "$bench" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUVQ_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target uvq-bench-store -j 2 >/dev/null
  bench=$build/uvq-bench-store
fi
work=$(mktemp -d)
pg=$(bash tests/support/pg-test-server.sh start)
trap 'bash tests/support/pg-test-server.sh remove "$pg" || true; rm -rf "$work"' EXIT
echo "CREATE DATABASE bench;" | bash tests/support/pg-test-server.sh psql "$pg" postgres
args=("${1:-100000}" "${2:-1000000}" "${3:-10}")
"$bench" "$(bash tests/support/pg-test-server.sh url "$pg" bench)" "${args[@]}"
"$bench" "$work/store.sqlite3" "${args[@]}"
