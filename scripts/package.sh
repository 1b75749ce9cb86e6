#!/usr/bin/env bash
# Builds the Debian package into build/ (or $ENV_BUILD_DIR) and checks it: lintian, the desktop
# entries and the AppStream metadata. Fails on any lintian error or warning.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ENV_BUILD_DIR:-$root/build}
ENV_INSTALL_PACKAGING=1 "$root/scripts/install-deps.sh"
ENV_BUILD_DIR=$build "$root/scripts/build.sh"
cd "$build"
rm -f envviewer_*.deb
cpack -G DEB
deb=$(ls envviewer_*.deb)
lintian --fail-on error,warning "$deb"
desktop-file-validate "$root"/packaging/*.desktop
appstreamcli validate --no-net "$build"/packaging/*.metainfo.xml
echo "$build/$deb: lintian, desktop-file-validate and appstreamcli are content"
