#!/usr/bin/env bash
# Takes a screenshot of each program under a virtual X server, live on the simulated module:
# the port's path is typed into the port box and Start is pressed, as an operator would.
#   tools/screenshots.sh [build folder]     (writes docs/screenshots/<program>.png)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out=$root/docs/screenshots
mkdir -p "$out"
ENV_INSTALL_EXTRAS=1 "$root/scripts/install-deps.sh"

display=:97
Xvfb $display -screen 0 1280x1000x24 >/dev/null 2>&1 &
shots=$(mktemp -d /tmp/envviewer-shot.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$shots"' EXIT

# envviewer_qc's canvas spans distances 0 to 240 (the module's usual readings, 300 to 500, lie
# above it) and shows its top left part, distances 110 to 240 left of x 220: its module plays
# frames from a plan whose windows draw an arc there.
awk 'BEGIN {
    printf "[{\"label\": \"in view\", \"duration\": 1, \"frames\": 1,"
    printf " \"y\": {\"min\": 130, \"max\": 220}, \"x\": ["
    for (c = 0; c < 27; c++) {
        x = -330 + 17 * c
        y = int(175 + 35 * cos(3.14159265 * c / 13))
        printf "%s{\"index\": %d, \"count\": 1, \"min\": %d, \"max\": %d,", (c ? ", " : ""), c, x - 2, x + 2
        printf " \"minadd\": %d, \"maxadd\": %d}", y - 2 - 130, y + 2 - 220
    }
    print "]}]"
}' >"$shots/qc.json"
"$build/bin/envtool" simulate --pty --link "$shots/module" >/dev/null 2>&1 &
"$build/bin/envtool" simulate --pty --link "$shots/module-qc" --plan "$shots/qc.json" \
    --test "in view" >/dev/null 2>&1 &
for _ in $(seq 50); do [ -e "$shots/module" ] && [ -e "$shots/module-qc" ] && break; sleep 0.1; done
export DISPLAY=$display

for program in envviewer envviewer_cam envviewer_qc envviewer_lite; do
    (cd "$build/bin" && exec "./$program") >/dev/null 2>&1 &
    pid=$!
    window=""
    for _ in $(seq 50); do
        window=$(xdotool search --pid $pid --name "Orlo Module Env Viewer" 2>/dev/null | head -1) && [ -n "$window" ] && break
        sleep 0.1
    done
    sleep 1 # let the window map and settle before typing into it
    # The port box sits at the top left of every window (below the menu bar), Start right of Refresh.
    case $program in
    envviewer | envviewer_cam) box="60 31" start="305 31" ;;
    *) box="60 28" start="297 28" ;;
    esac
    link=$shots/module
    [ $program = envviewer_qc ] && link=$shots/module-qc
    xdotool mousemove --window "$window" $box click 1 type --delay 5 "$link"
    xdotool mousemove --window "$window" $start click 1
    sleep 2
    import -window root -crop "$(xdotool getwindowgeometry "$window" | awk '/Geometry/ {print $2}')+0+0" \
        "$out/$program.png"
    kill $pid
    wait $pid 2>/dev/null || true
done
echo "screenshots in $out"
