#!/usr/bin/env bash
# Builds the Debian package and checks it: lintian, the desktop entries and the AppStream metadata.
# Fails on any lintian error or warning. The programs are built for it in a folder of their own,
# build/deb (under $ENV_BUILD_DIR when set), with Debian's build flags (hardened, bind now,
# fortified) and without tests or benchmarks; the package lands in build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ENV_BUILD_DIR:-$root/build}
deb_build=$build/deb
ENV_INSTALL_PACKAGING=1 "$root/scripts/install-deps.sh" run

# dpkg-buildflags maps the folder it runs in to "." in the debug information: the source tree.
cd "$root"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1"; }
# Given on every run, so that a folder configured before follows the flags of today.
cmake -S "$root" -B "$deb_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DENVVIEWER_BENCH=OFF -DCMAKE_CXX_FLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" -DCMAKE_STRIP="$root/packaging/strip.sh" >/dev/null
cmake --build "$deb_build" -j"$(nproc)"

cd "$build"
rm -f envviewer_*.deb
cpack -G DEB --config "$deb_build/CPackConfig.cmake"
deb=$(ls envviewer_*.deb)
lintian -I --pedantic --fail-on error,warning "$deb"
desktop-file-validate "$root"/packaging/*.desktop
appstreamcli validate --no-net "$deb_build"/packaging/*.metainfo.xml
echo "$build/$deb: lintian, desktop-file-validate and appstreamcli are content"
