#!/usr/bin/env bash
# Installs what is missing (the test set: building, running, and what only the tests, benchmarks
# and fuzzers need), builds everything with warnings on and runs every test headless.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ENV_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh" test
ENV_BUILD_DIR=$build "$root/scripts/build.sh" "$@"
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" --timeout 300
