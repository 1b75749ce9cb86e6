#!/usr/bin/env bash
# Installs what building and running need, configures build/ (or $ENV_BUILD_DIR) and builds the
# whole tree, or only $ENV_BUILD_TARGETS (space-separated). It configures again each time,
# quietly: that finds packages installed since (test.sh adds Google Benchmark to a folder run.sh
# configured without it); ENV_BUILD_RECONFIGURE=0 leaves a configured folder as it is (the build
# still configures again by itself when a CMake file changed). Arguments go to the configure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ENV_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh" run
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
elif [ "${ENV_BUILD_RECONFIGURE:-1}" != 0 ] || [ $# -gt 0 ]; then
    cmake -S "$root" -B "$build" "$@" >/dev/null
fi
targets=()
for target in ${ENV_BUILD_TARGETS:-}; do
    targets+=(--target "$target")
done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
