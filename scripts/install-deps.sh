#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the fuzzers need; with
# ENV_INSTALL_PACKAGING=1 also what building and checking the Debian package needs.
# Fast when nothing is missing: it asks dpkg first and calls apt-get only for what is absent.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
    libopencv-dev
    libbenchmark-dev
    clang-14 libclang-rt-14-dev
    fonts-dejavu-core
    librsvg2-bin groff-base
)
if [ "${ENV_INSTALL_PACKAGING:-0}" = 1 ]; then
    # cpack's dependency computation asks file and dpkg-shlibdeps; then the package's checkers.
    packages+=(file dpkg-dev lintian desktop-file-utils appstream man-db)
fi
if [ "${ENV_INSTALL_EXTRAS:-0}" = 1 ]; then
    # For screenshots under a real X server.
    packages+=(xvfb xauth imagemagick xdotool)
fi

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
