#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in build-fuzz and runs each for
# SECONDS (default 30). Saved inputs in tests/fuzz_regressions/inputs/<target>/ seed each run.
# A crash leaves its input in build-fuzz/artifacts/<target>/ and fails the script: copy it into
# the inputs folder so the regression suite replays it from then on.
#   bash fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=build-fuzz
targets=(fuzz_reply_path fuzz_settings_reader fuzz_address_split fuzz_address_parsing)
bash fuzz/build.sh "${targets[@]}"

failed=0
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  corpus=$build/corpus/$name
  artifacts=$build/artifacts/$name
  mkdir -p "$corpus" "$artifacts"
  seeds=tests/fuzz_regressions/inputs/$name
  [ -d "$seeds" ] || seeds=
  echo "== $target for ${seconds}s"
  # Nothing here opens a socket, but the rule holds for every program: loopback only.
  if ! UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
    bash scripts/in-loopback-ns.sh --scratch "$build/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" $seeds \
    >"$build/$name.log" 2>&1; then
    echo "$target FAILED; input and log:" >&2
    ls "$artifacts" >&2
    tail -40 "$build/$name.log" >&2
    failed=1
  else
    grep -E "stat::number_of_executed_units|cov:" "$build/$name.log" | tail -2
  fi
done
exit $failed
