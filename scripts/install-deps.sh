#!/usr/bin/env bash
# Installs the Debian packages a job needs:
#   scripts/install-deps.sh [run]   building the programs and envtool, and running them
#   scripts/install-deps.sh test    that, and what only the tests, benchmarks and fuzzers need
# ENV_INSTALL_PACKAGING=1 adds what building and checking the Debian package needs,
# ENV_INSTALL_EXTRAS=1 what taking screenshots under a virtual X server needs.
# Fast when nothing is missing: it asks dpkg first and calls apt-get only for what is absent.
set -euo pipefail

set_name=${1:-run}
packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
    # Qt SQL's PostgreSQL driver, loaded at run time.
    libqt5sql5-psql
    libopencv-dev
    # The records' JSON reader, and the fleet store's bulk copy.
    libsimdjson-dev libpq-dev
    # The windows' text; the icon rendered at build time.
    fonts-dejavu-core librsvg2-bin
)
case "$set_name" in
run) ;;
test)
    # Benchmarks, libFuzzer and the sanitizers with clang, the manual pages' rendering check,
    # and a PostgreSQL server that a test starts for itself.
    packages+=(libbenchmark-dev clang-14 libclang-rt-14-dev groff-base postgresql)
    # The HTML report is checked by a headless browser.
    packages+=(chromium)
    ;;
*)
    echo "usage: scripts/install-deps.sh [run|test]" >&2
    exit 2
    ;;
esac
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
