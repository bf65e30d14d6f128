#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the three programs in build/ (build/uvq-loader, build/uvq, build/uvq-sim; the tests
# build in build-test/, so neither script undoes the other's build) and starts the window
# against an emulated unit on loopback, with a sample image to program. The demo runs from a folder of its own (build-demo/: a copy of the window
# with its own settings file and the sample image), so nothing in build/ aims a later real use
# at the emulator. Aim the window at real units with build/uvq-loader.INI (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DUVQ_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target uvq-loader uvq uvq-sim

address=127.0.0.1
demo=build-demo
mkdir -p "$demo"
# A copy, not a link: the window reads the settings file beside its resolved executable.
cp -f build/uvq-loader "$demo/uvq-loader"
printf '[Net]\r\nAddress=%s\r\n' "$address" > "$demo/uvq-loader.INI"

# Earlier demos wrote their settings into build/; such a leftover would silently aim the real
# window at the emulator. Only a file with exactly that content is removed.
leftover=build/uvq-loader.INI
if [ -f "$leftover" ] && [ "$(cat "$leftover")" = "$(cat "$demo/uvq-loader.INI")" ]; then
  rm -f "$leftover"
  echo "Removed $leftover, left by an earlier demo (it aimed the window at $address)"
fi

# A sample firmware image: 64 KiB of random bytes, in the emulated unit's record format.
if [ ! -e "$demo/sample.cry" ]; then
  head -c 65536 /dev/urandom > "$demo/sample.bin"
  build/uvq-sim make-image "$demo/sample.bin" "$demo/sample.cry"
fi
echo "Sample image to program: $(pwd)/$demo/sample.cry"

sim_pid=""
if ss -Hlun "sport = :16388" 2>/dev/null | grep -q .; then
  echo "UDP port 16388 is in use already: not starting an emulated unit"
else
  build/uvq-sim --bind "$address" --units 3 --expect "$demo/sample.bin" > "$demo/uvq-sim.log" 2>&1 &
  sim_pid=$!
  echo "Emulated units answering on $address:16388 (log: $demo/uvq-sim.log)"
fi
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting the window under a virtual display (xvfb-run)"
  xvfb-run -a "$demo/uvq-loader"
else
  "$demo/uvq-loader"
fi
