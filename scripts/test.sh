#!/usr/bin/env bash
# Installs what is missing, builds everything in build/ and runs every test suite inside a
# loopback-only network namespace.
#   UVQ_BUILD_DIR   build folder (default build)
#   UVQ_CMAKE_ARGS  extra CMake arguments (for example -DUVQ_SANITIZE=ON); warnings are errors here
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${UVQ_BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DUVQ_BUILD_TESTS=ON -DUVQ_WERROR=ON ${UVQ_CMAKE_ARGS:-}
cmake --build "$build" -j "$(nproc)"
cd "$build"
bash ../scripts/in-loopback-ns.sh ctest --output-on-failure -j "$(nproc)" ${UVQ_CTEST_ARGS:-}
