#!/usr/bin/env bash
# Runs a command in a network namespace that has nothing but loopback, so nothing it sends can
# leave the machine, whatever its target address says.
#   in-loopback-ns.sh [--scratch] COMMAND [ARG ...]
#   --scratch  the command also gets an empty /tmp, /run/lock and session runtime folder
#              (XDG_RUNTIME_DIR) of its own (memory file systems that go when it ends), so
#              nothing it writes there stays on the machine and it never meets another run's
#              files. Files it leaves in /tmp are listed and fail the run (a test must clean up
#              after itself); lock files left in the others are listed.
set -euo pipefail
scratch=0
if [ "${1:-}" = "--scratch" ]; then
  scratch=1
  shift
fi
ns_flags=(--net)
[ "$(id -u)" -eq 0 ] || ns_flags+=(--map-root-user)
if [ "$scratch" -eq 0 ]; then
  exec unshare "${ns_flags[@]}" bash -c 'ip link set lo up && exec "$@"' ns-shell "$@"
fi
# unshare makes the new mount namespace private, so these mounts never reach the machine's.
exec unshare "${ns_flags[@]}" --mount bash -c '
  set -u
  ip link set lo up
  mount -t tmpfs -o mode=1777 uvq-scratch /tmp
  mkdir -p /run/lock /run/user
  mount -t tmpfs -o mode=1777 uvq-scratch /run/lock
  # A session'"'"'s runtime folder, as a login has one (Qt makes /tmp/runtime-USER without it).
  mount -t tmpfs -o mode=755 uvq-scratch /run/user
  export XDG_RUNTIME_DIR=/run/user/$(id -u)
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  status=0
  "$@" || status=$?
  left=$(find /tmp -mindepth 1 -maxdepth 2 | sort)
  if [ -n "$left" ]; then
    printf "in-loopback-ns: left behind in /tmp:\n%s\n" "$left" >&2
    [ "$status" -ne 0 ] || status=1
  fi
  locks=$(find /run/lock "$XDG_RUNTIME_DIR" -mindepth 1 | sort)
  [ -z "$locks" ] || printf "in-loopback-ns: left in /run/lock and %s (gone with this namespace):\n%s\n" "$XDG_RUNTIME_DIR" "$locks" >&2
  exit "$status"' ns-shell "$@"
