#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the named fuzz targets with clang (libFuzzer, ASan, UBSan) in build-fuzz; shared by
# run.sh and deep.sh.
#   bash fuzz/build.sh TARGET...
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUVQ_FUZZ=ON -DUVQ_BUILD_TESTS=OFF -DUVQ_WERROR=ON -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$build" --target "$@" -j 2
