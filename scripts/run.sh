#!/usr/bin/env bash
# Builds the loader and starts its window against an emulated unit on loopback, with a sample
# image to program. Aim the window at real units by writing build/uvq-loader.INI yourself.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DUVQ_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target uvq-loader uvq-sim

address=127.0.0.1
settings=build/uvq-loader.INI
if [ ! -e "$settings" ]; then
  printf '[Net]\r\nAddress=%s\r\n' "$address" > "$settings"
  echo "Wrote $settings: the window talks to the emulated unit at $address"
else
  echo "Keeping $settings as you wrote it"
fi

# A sample firmware image: 64 KiB of random bytes, in the emulated unit's record format.
if [ ! -e build/sample.cry ]; then
  head -c 65536 /dev/urandom > build/sample.bin
  build/uvq-sim make-image build/sample.bin build/sample.cry
fi
echo "Sample image to program: $(pwd)/build/sample.cry"

sim_pid=""
if ss -Hlun "sport = :16388" 2>/dev/null | grep -q .; then
  echo "UDP port 16388 is in use already: not starting an emulated unit"
else
  build/uvq-sim --bind "$address" --units 3 --expect build/sample.bin > build/uvq-sim.log 2>&1 &
  sim_pid=$!
  echo "Emulated units answering on $address:16388 (log: build/uvq-sim.log)"
fi
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting the window under a virtual display (xvfb-run)"
  xvfb-run -a build/uvq-loader
else
  build/uvq-loader
fi
