#!/usr/bin/env bash
# Builds one program and envtool, and starts the program: envviewer (default), envviewer_cam,
# envviewer_qc or envviewer_lite. With --demo, a simulated module is started on a pseudo-terminal
# as well.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ENV_BUILD_DIR:-$root/build}
program=envviewer
demo=0
for arg in "$@"; do
    case "$arg" in
    --demo) demo=1 ;;
    envviewer | envviewer_cam | envviewer_qc | envviewer_lite) program=$arg ;;
    *) echo "usage: scripts/run.sh [--demo] [envviewer|envviewer_cam|envviewer_qc|envviewer_lite]" >&2; exit 2 ;;
    esac
done
# Only the program and envtool (the demo's module): tests, benchmarks and fuzzers are the test
# script's, and a start with nothing changed builds nothing.
ENV_BUILD_TARGETS="$program envtool" ENV_BUILD_RECONFIGURE=0 "$root/scripts/build.sh"
cd "$build/bin"
if [ "$demo" = 1 ]; then
    link=/tmp/envviewer-demo
    ./envtool simulate --pty --link "$link" >/tmp/envviewer-demo.log 2>&1 &
    simulator=$!
    trap 'kill $simulator 2>/dev/null || true' EXIT
    for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
    echo "Simulated module on $link: type it into the port box and press Start."
    "./$program"
else
    exec "./$program"
fi
