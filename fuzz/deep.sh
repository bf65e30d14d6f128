#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fuzzes to a depth the 30-second CI runs cannot reach; run by hand, not by CI. The reply path
# gets REPLY_RUNS executions (default 10 million), the settings reader SETTINGS_RUNS (default
# 1 million); 0 leaves that target out. Each target's corpus is kept in
# build-fuzz/deep-corpus/<target>/, so a later run goes on from where this one stopped.
# Afterwards the corpus is merged into tests/fuzz_regressions/inputs/<target>/: only inputs that
# reach code the saved ones do not are added, and the regression suite replays them on every
# test run. Review and commit them.
# A crash leaves its input in build-fuzz/deep-artifacts/<target>/ and fails the script.
# It takes long on one core; leave the machine to others:
#   nice -n 10 bash fuzz/deep.sh [REPLY_RUNS] [SETTINGS_RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
reply_runs=${1:-10000000}
settings_runs=${2:-1000000}
build=build-fuzz

# Nothing here opens a socket, but the rule holds for every program: loopback only.
fuzz() {
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
    bash scripts/in-loopback-ns.sh "$@"
}

failed=0
deep() {
  local name=$1 runs=$2
  [ "$runs" -gt 0 ] || return 0
  local corpus=$build/deep-corpus/$name artifacts=$build/deep-artifacts/$name
  local inputs=tests/fuzz_regressions/inputs/$name log=$build/deep-$name.log
  mkdir -p "$corpus" "$artifacts" "$inputs"
  bash fuzz/build.sh "fuzz_$name"
  echo "== $name: $runs executions (log: $log)"
  local start=$SECONDS
  if ! fuzz "$build/fuzz_$name" -runs="$runs" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$inputs" >"$log" 2>&1; then
    echo "$name FAILED after $((SECONDS - start)) s; input and log:" >&2
    ls "$artifacts" >&2
    tail -40 "$log" >&2
    failed=1
    return
  fi
  echo "took $((SECONDS - start)) s"
  grep -E "^#[0-9]+[[:space:]]+DONE" "$log" | tail -1
  grep -E "stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)" "$log"
  local before after
  before=$(find "$inputs" -type f | wc -l)
  fuzz "$build/fuzz_$name" -merge=1 "$inputs" "$corpus" >"$build/deep-$name-merge.log" 2>&1
  after=$(find "$inputs" -type f | wc -l)
  echo "corpus $(find "$corpus" -type f | wc -l) inputs; saved inputs $before -> $after"
}

deep reply_path "$reply_runs"
deep settings_reader "$settings_runs"
exit $failed
