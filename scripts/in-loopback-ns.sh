#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
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
# The checkout itself may live under /tmp (a CI clone): it is carried over into the empty /tmp
# at the same path, so the build's absolute paths still name it.
UVQ_CHECKOUT=$(cd "$(dirname "$0")/.." && pwd -P)
export UVQ_CHECKOUT
# unshare makes the new mount namespace private, so these mounts never reach the machine's.
exec unshare "${ns_flags[@]}" --mount bash -c '
  set -u
  ip link set lo up
  mkdir -p /run/lock /run/user
  mount -t tmpfs -o mode=1777 uvq-scratch /run/lock
  carried=""
  case "$UVQ_CHECKOUT/" in
    /tmp/*)
      carried=$UVQ_CHECKOUT
      mkdir /run/lock/.checkout
      mount --bind "$carried" /run/lock/.checkout ;;
  esac
  mount -t tmpfs -o mode=1777 uvq-scratch /tmp
  if [ -n "$carried" ]; then
    mkdir -p "$carried"
    mount --bind /run/lock/.checkout "$carried"
    umount /run/lock/.checkout
    rmdir /run/lock/.checkout
    cd "$carried" && cd "$OLDPWD"
  fi
  # A session'"'"'s runtime folder, as a login has one (Qt makes /tmp/runtime-USER without it).
  mount -t tmpfs -o mode=755 uvq-scratch /run/user
  export XDG_RUNTIME_DIR=/run/user/$(id -u)
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  status=0
  "$@" || status=$?
  if [ -n "$carried" ]; then
    left=$(find /tmp -mindepth 1 -maxdepth 2 | grep -v -x -F -e "$carried" | while read -r path; do
      case "$carried/" in "$path"/*) ;; *) case "$path/" in "$carried"/*) ;; *) echo "$path" ;; esac ;; esac
    done | sort)
  else
    left=$(find /tmp -mindepth 1 -maxdepth 2 | sort)
  fi
  if [ -n "$left" ]; then
    printf "in-loopback-ns: left behind in /tmp:\n%s\n" "$left" >&2
    [ "$status" -ne 0 ] || status=1
  fi
  locks=$(find /run/lock "$XDG_RUNTIME_DIR" -mindepth 1 | sort)
  [ -z "$locks" ] || printf "in-loopback-ns: left in /run/lock and %s (gone with this namespace):\n%s\n" "$XDG_RUNTIME_DIR" "$locks" >&2
  exit "$status"' ns-shell "$@"
