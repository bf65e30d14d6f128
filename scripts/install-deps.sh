#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what building, running and testing need, from Debian's packages, when missing.
#   install-deps.sh [EXTRA-PACKAGE ...]   (also installs these, for checks that need more)
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libcli11-dev libssl-dev libasound2-dev
          iproute2 util-linux xvfb xauth clang libclang-rt-dev clang-format help2man
          libsqlite3-dev libpq-dev postgresql ccache
          libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
