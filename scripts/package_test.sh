#!/usr/bin/env bash
# The installable forms of a build: `cmake --install --prefix` puts programs and man pages in the
# GNU folders, and the .deb of `make package` unpacks into an empty root where each of the five
# programs answers with its version line, and the bash completion is in place.
#
#   scripts/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_tree() {  # root of an installed tree (usr or prefix)
  local bin=$1/bin man=$1/share/man/man1
  "$bin/Tarnwick_V21" -v2.1 -version | grep -qx 'tarnWick version 2.1'
  "$bin/sbinspect" --version | grep -qx 'sbinspect version 2.1'
  "$bin/hdrmark" --version | grep -qx 'hdrmark version 2.1'
  "$bin/padfill" --version | grep -qx 'padfill version 2.1'
  "$bin/tarnwick" --version | grep -qx 'tarnwick 2.1'
  [ -e "$1/share/bash-completion/completions/tarnwick" ] || { echo "no bash completion"; exit 1; }
  for page in Tarnwick_V21 tarnwick sbinspect hdrmark padfill; do
    [ -e "$man/$page.1" ] || [ -e "$man/$page.1.gz" ] || { echo "no man page $page"; exit 1; }
  done
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
check_tree "$work/prefix"

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/*.deb)
dpkg-deb -x "$deb" "$work/root"
check_tree "$work/root/usr"
[ "$(dpkg-deb -f "$deb" Package)" = tarnwick ]
echo "installed and ran: $(basename "$deb")"
