#!/usr/bin/env bash
# Installs what building and running need, configures build/ (or $ENV_BUILD_DIR) and builds the
# whole tree. It configures again each time, quietly: that is quick and finds packages installed
# since (test.sh adds Google Benchmark to a folder run.sh configured without it). Arguments go to
# the configure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ENV_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh" run
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
else
    cmake -S "$root" -B "$build" "$@" >/dev/null
fi
cmake --build "$build" -j"$(nproc)"
