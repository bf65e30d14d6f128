#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian packages as a user gets them: a release build of the programs alone (no tests, no
# -Werror) in build-release, `cpack -G DEB` (one package per program: uvq, uvq-loader, uvq-sim),
# then checks of each .deb: its dependencies and files, no run paths, each program's --version
# from a `dpkg -x` scratch root, uvq installed alone needing no Qt (nor anything that pulls it
# in), the installed window starting headless in a loopback-only namespace, bash completion,
# the desktop entry (desktop-file-validate) and lintian (errors fail; warnings are printed).
#   UVQ_RELEASE_DIR  build folder (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh lintian desktop-file-utils

build=${UVQ_RELEASE_DIR:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)

failures=0
fail() { echo "package-check: FAIL: $*"; failures=$((failures + 1)); }

declare -A deb
for package in uvq uvq-loader uvq-sim; do
  found=("$build/${package}_"*.deb)
  if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
    echo "package-check: no single ${package}_*.deb in $build"
    exit 1
  fi
  deb[$package]=${found[0]}
done
version=$(dpkg-deb -f "${deb[uvq]}" Version)
head -n 1 packaging/changelog | grep -q "^uvq-loader ($version) " ||
  fail "packaging/changelog has no entry for $version at its top"

# Each package: the files it must hold, the libraries its Depends must name (from
# dpkg-shlibdeps) and those it must not.
files_uvq="usr/bin/uvq usr/share/man/man1/uvq.1.gz usr/share/bash-completion/completions/uvq
  lib/systemd/system/uvq-serve.service lib/systemd/system/uvq-rollout@.service
  lib/systemd/system/uvq-station.service"
files_uvq_loader="usr/bin/uvq-loader usr/share/man/man1/uvq-loader.1.gz
  usr/share/applications/uvq-loader.desktop usr/share/icons/hicolor/scalable/apps/uvq-loader.svg"
files_uvq_sim="usr/bin/uvq-sim usr/share/man/man1/uvq-sim.1.gz
  usr/share/bash-completion/completions/uvq-sim"
needs_uvq="libc6 libssl3"
needs_uvq_loader="libc6 libqt6widgets6"
needs_uvq_sim="libc6"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for package in uvq uvq-loader uvq-sim; do
  file=${deb[$package]}
  key=${package//-/_}
  echo "== $file (version $(dpkg-deb -f "$file" Version))"
  [ "$(dpkg-deb -f "$file" Version)" = "$version" ] || fail "$package has another version"
  depends=$(dpkg-deb -f "$file" Depends)
  echo "Depends: $depends"
  for lib in $(eval echo "\$needs_$key"); do
    [[ $depends == *"$lib"* ]] || fail "$package: Depends lacks $lib"
  done
  # The sound library is loaded only for a beep: never a dependency.
  [[ $depends == *libasound* ]] && fail "$package depends on the sound library: $depends"
  if [ "$package" != uvq-loader ] && [[ $depends == *qt* ]]; then
    fail "$package depends on Qt: $depends"
  fi
  contents=$(dpkg-deb -c "$file" | awk '{print $6}')
  for path in $(eval echo "\$files_$key") usr/share/doc/$package/copyright \
    usr/share/doc/$package/changelog.gz usr/share/doc/$package/README.md; do
    grep -qx "\./$path" <<<"$contents" || fail "$package lacks /$path"
  done
  grep -q "^License: Apache-2.0" <<<"$(dpkg-deb --fsys-tarfile "$file" |
    tar -xO "./usr/share/doc/$package/copyright")" || fail "$package: copyright names no licence"

  # Every file the man page's SEE ALSO names is in the package.
  if grep -q "usr/share/man/man1/$package.1.gz" <<<"$contents"; then
    for named in $(dpkg-deb --fsys-tarfile "$file" | tar -xO "./usr/share/man/man1/$package.1.gz" |
      gzip -dc | sed -n '/^\.SH "SEE ALSO"/,$p' | grep -o '/usr/share/[^\\ ]*'); do
      grep -qx "\.$named" <<<"$contents" || fail "$package: SEE ALSO names $named, not in the package"
    done
  fi

  # Each package alone in a root of its own.
  mkdir -p "$root/$package"
  dpkg -x "$file" "$root/$package"
  program=$root/$package/usr/bin/$package
  if readelf -d "$program" | grep -Eq 'RPATH|RUNPATH'; then fail "$package has a run path"; fi
  got=$(QT_QPA_PLATFORM=offscreen "$program" --version) || fail "$package --version failed"
  echo "$package --version: $got"
  [ "$got" = "$package $version" ] || fail "$package --version says '$got', not '$package $version'"
done

# uvq installed alone needs no Qt: not its program, not its dependencies, nor theirs.
if ldd "$root/uvq/usr/bin/uvq" | grep -i 'libqt'; then fail "uvq loads Qt libraries"; fi
uvq_depends=$(dpkg-deb -f "${deb[uvq]}" Depends | sed -E 's/\([^)]*\)//g; s/[,|]/ /g')
# shellcheck disable=SC2086
pulled=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances $uvq_depends 2>/dev/null | grep -Eo '^[a-z0-9][^ ]*' | sort -u)
echo "uvq pulls in $(wc -l <<<"$pulled") packages"
if grep -i 'qt' <<<"$pulled"; then fail "installing uvq pulls in Qt"; fi

# The installed window comes up (headless, no settings file of the user's, loopback only): it
# must still be running when `timeout` ends it. It sends nothing until an operator acts.
mkdir -p "$root/home"
status=0
HOME=$root/home XDG_CONFIG_HOME=$root/home/.config QT_QPA_PLATFORM=offscreen \
  bash scripts/in-loopback-ns.sh timeout 3 "$root/uvq-loader/usr/bin/uvq-loader" \
  >"$root/window.log" 2>&1 || status=$?
[ "$status" -eq 124 ] || { cat "$root/window.log"; fail "the window ended early (status $status)"; }

# Bash completion, with or without the bash-completion package's helpers.
uvq_completion=$root/uvq/usr/share/bash-completion/completions/uvq
completion=$(bash -c 'source "$1"; COMP_WORDS=(uvq ""); COMP_CWORD=1; _uvq
  printf "%s " "${COMPREPLY[@]}"' completion "$uvq_completion")
[[ $completion == *program*set-ip* ]] || fail "uvq <TAB> completes to '$completion'"
completion=$(bash -c 'source "$1"; COMP_WORDS=(uvq erase ""); COMP_CWORD=2; _uvq
  printf "%s " "${COMPREPLY[@]}"' completion "$uvq_completion")
[ "$completion" = "device program data " ] || fail "uvq erase <TAB> completes to '$completion'"

# The systemd units name the installed program, and systemd (when there) finds no fault.
for unit in uvq-serve.service uvq-rollout@.service uvq-station.service; do
  grep -q '^ExecStart=/usr/bin/uvq --config /etc/uvq/uvq.ini ' "$root/uvq/lib/systemd/system/$unit" ||
    fail "$unit does not start /usr/bin/uvq with /etc/uvq/uvq.ini"
done
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$root/units"
  sed "s|/usr/bin/uvq|$root/uvq/usr/bin/uvq|" "$root/uvq/lib/systemd/system/uvq-serve.service" \
    >"$root/units/uvq-serve.service"
  sed "s|/usr/bin/uvq|$root/uvq/usr/bin/uvq|" "$root/uvq/lib/systemd/system/uvq-rollout@.service" \
    >"$root/units/uvq-rollout@line-3.service"
  sed "s|/usr/bin/uvq|$root/uvq/usr/bin/uvq|" "$root/uvq/lib/systemd/system/uvq-station.service" \
    >"$root/units/uvq-station.service"
  findings=$(cd "$root/units" && systemd-analyze verify --man=no ./uvq-serve.service \
    ./uvq-rollout@line-3.service ./uvq-station.service 2>&1) || fail "systemd-analyze verify: $findings"
  [ -z "$findings" ] || fail "systemd-analyze verify: $findings"
fi

desktop-file-validate "$root/uvq-loader/usr/share/applications/uvq-loader.desktop" ||
  fail "desktop-file-validate"

# lintian: every finding is shown; errors fail the check.
for package in uvq uvq-loader uvq-sim; do
  echo "== lintian ${deb[$package]}"
  lintian --fail-on error --display-level '>=info' "${deb[$package]}" ||
    fail "lintian found errors in $package"
done

if [ "$failures" -gt 0 ]; then
  echo "package-check: $failures failed"
  exit 1
fi
echo "package-check: ${deb[*]} are good"
