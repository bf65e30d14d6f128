#!/usr/bin/env bash
# The Debian package as a user gets it: a release build of the programs alone (no tests, no
# -Werror) in build-release, `cpack -G DEB`, then checks of the .deb: its dependencies and files,
# no run paths, each program's --version from a `dpkg -x` scratch root, the installed window
# starting headless in a loopback-only namespace, bash completion, the desktop entry
# (desktop-file-validate) and lintian (errors fail; warnings are printed).
#   UVQ_RELEASE_DIR  build folder (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh lintian desktop-file-utils

build=${UVQ_RELEASE_DIR:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/uvq-loader_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/uvq-loader_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package-check: no single .deb in $build"; exit 1; }
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
echo "== $deb (version $version)"

failures=0
fail() { echo "package-check: FAIL: $*"; failures=$((failures + 1)); }

# Dependencies from dpkg-shlibdeps: the window's Qt and the command line's ALSA at least.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libqt6widgets6 libasound2; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib"
done
head -n 1 packaging/changelog | grep -q "^uvq-loader ($version) " ||
  fail "packaging/changelog has no entry for $version at its top"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in usr/bin/uvq-loader usr/bin/uvq usr/bin/uvq-sim \
  usr/share/man/man1/uvq-loader.1.gz usr/share/man/man1/uvq.1.gz usr/share/man/man1/uvq-sim.1.gz \
  usr/share/applications/uvq-loader.desktop usr/share/icons/hicolor/scalable/apps/uvq-loader.svg \
  usr/share/bash-completion/completions/uvq usr/share/bash-completion/completions/uvq-sim \
  usr/share/doc/uvq-loader/copyright usr/share/doc/uvq-loader/changelog.gz \
  usr/share/doc/uvq-loader/README.md; do
  grep -qx "\./$path" <<<"$contents" || fail "the package lacks /$path"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
for program in uvq-loader uvq uvq-sim; do
  file=$root/usr/bin/$program
  if readelf -d "$file" | grep -Eq 'RPATH|RUNPATH'; then fail "$program has a run path"; fi
  got=$(QT_QPA_PLATFORM=offscreen "$file" --version) || fail "$program --version failed"
  echo "$program --version: $got"
  [ "$got" = "$program $version" ] || fail "$program --version says '$got', not '$program $version'"
done

# The installed window comes up (headless, no settings file of the user's, loopback only): it
# must still be running when `timeout` ends it. It sends nothing until an operator acts.
mkdir -p "$root/home"
status=0
HOME=$root/home XDG_CONFIG_HOME=$root/home/.config QT_QPA_PLATFORM=offscreen \
  bash scripts/in-loopback-ns.sh timeout 3 "$root/usr/bin/uvq-loader" >"$root/window.log" 2>&1 ||
  status=$?
[ "$status" -eq 124 ] || { cat "$root/window.log"; fail "the window ended early (status $status)"; }

# Bash completion, with or without the bash-completion package's helpers.
completion=$(bash -c 'source "$1"; COMP_WORDS=(uvq ""); COMP_CWORD=1; _uvq
  printf "%s " "${COMPREPLY[@]}"' completion "$root/usr/share/bash-completion/completions/uvq")
[[ $completion == *program*set-ip* ]] || fail "uvq <TAB> completes to '$completion'"
completion=$(bash -c 'source "$1"; COMP_WORDS=(uvq erase ""); COMP_CWORD=2; _uvq
  printf "%s " "${COMPREPLY[@]}"' completion "$root/usr/share/bash-completion/completions/uvq")
[ "$completion" = "device program data " ] || fail "uvq erase <TAB> completes to '$completion'"

desktop-file-validate "$root/usr/share/applications/uvq-loader.desktop" ||
  fail "desktop-file-validate"

# lintian: every finding is shown; errors fail the check.
lintian --fail-on error --display-level '>=info' "$deb" || fail "lintian found errors"

if [ "$failures" -gt 0 ]; then
  echo "package-check: $failures failed"
  exit 1
fi
echo "package-check: $deb is good"
