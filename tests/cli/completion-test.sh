#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The bash completion made from uvq's option table completes every subcommand and option, also
# after options that come before the subcommand. Run by ctest with the generated script.
set -u
script=$1
failures=0
complete_line() {  # words... ; the last word is completed
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _uvq
    printf "%s " "${COMPREPLY[@]}"' completion "$script" "$@"
}
expect() {  # expected-word words...
  local want=$1
  shift
  local got
  got=$(complete_line "$@")
  if [[ " $got " != *" $want "* ]]; then
    echo "FAIL: '$*' completes to '$got', without '$want'"
    failures=$((failures + 1))
  fi
}
expect scan uvq ""
expect set-ip uvq s
expect program uvq --json ""
expect scan uvq --target 127.0.0.1 ""
expect locate uvq --wait-ms 100 -v l
expect --log uvq program fw.cry --l
expect --strict uvq --st
expect --no-verify uvq program x.cry --no-v
expect --config uvq --co
expect --verbose uvq --verb
expect --no-reset uvq program --no-r
expect --rate uvq scan --ra
expect device uvq --quiet erase ""
expect exit-codes uvq help ""
expect station uvq sta
expect --ask-every-ms uvq station fw.cry --ask
expect --watch uvq rollout run fw --wa
expect report uvq rep
expect units uvq report ""
expect --html uvq report units --ht
offered=$(complete_line uvq locate --no-r)
[ -z "${offered// /}" ] || { echo "FAIL: locate --no-r completes to '$offered'"; failures=$((failures + 1)); }
exit $((failures > 0))
