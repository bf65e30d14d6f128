#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The rollout benchmark (bench/measure-rollout.sh) in the shipped configuration, inside a
# loopback-only namespace.
#   bash bench/rollout.sh [postgresql://...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target uvq-sim uvq -j 2
exec bash scripts/in-loopback-ns.sh bash bench/measure-rollout.sh "$build" "$@"
