#!/usr/bin/env bash
# Runs a command in a network namespace that has nothing but loopback, so nothing it sends can
# leave the machine, whatever its target address says.
set -euo pipefail
ns_flags=(--net)
[ "$(id -u)" -eq 0 ] || ns_flags+=(--map-root-user)
exec unshare "${ns_flags[@]}" bash -c 'ip link set lo up && exec "$@"' ns-shell "$@"
