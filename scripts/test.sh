#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds everything in build-test/ (its own folder: scripts/run.sh
# builds the programs alone, with other options, in build/) and runs every test suite inside a
# loopback-only network namespace with a /tmp and /run/lock of its own (nothing a test writes
# there stays; a file a test leaves in /tmp fails the run).
#   UVQ_BUILD_DIR   build folder (default build-test)
#   UVQ_CMAKE_ARGS  extra CMake arguments (for example -DUVQ_SANITIZE=ON); warnings are errors here
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${UVQ_BUILD_DIR:-build-test}
# ccache, when there, keeps rebuilds in other folders (CI's build-asan, build-station) short.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Keyed on paths relative to the checkout, so another clone of the project hits the same entries.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
fi
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DUVQ_BUILD_TESTS=ON -DUVQ_WERROR=ON "${launcher[@]}" ${UVQ_CMAKE_ARGS:-}
cmake --build "$build" -j "$(nproc)"
cd "$build"
bash ../scripts/in-loopback-ns.sh --scratch ctest --output-on-failure -j "$(nproc)" ${UVQ_CTEST_ARGS:-}
