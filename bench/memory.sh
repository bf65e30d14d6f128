#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A station's resident memory: uvq's peak RSS programming 1, 256, 1 024 and 2 048 units at once
# (32 KiB image, replies 5 ms late, so every unit is in flight together) and one unit with a
# 16 MiB image. Builds the shipped configuration in build-bench, then measures inside a
# loopback-only namespace against uvq-sim, which checks every image.
#   bash bench/memory.sh
#   UVQ_MEMORY_SIZES="1 64" UVQ_MEMORY_BIG_MIB=1 bash bench/memory.sh   (smaller runs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target uvq-sim uvq -j 2
exec bash scripts/in-loopback-ns.sh bash bench/measure-memory.sh "$build"
