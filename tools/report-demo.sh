#!/usr/bin/env bash
# Makes an example report: three simulated days of production on three stations, every run
# judged by envtool qc on the simulated module over a pseudo-terminal (some boards fail a channel
# and are tested again), then envtool report, and a screenshot of the page in headless Chromium.
#   tools/report-demo.sh [-o FOLDER] [--readme] [--build FOLDER]
# writes FOLDER/results.jsonl, FOLDER/report.html and FOLDER/report.png (FOLDER: a new temporary
# folder unless given); --readme also puts the screenshot in docs/screenshots/report.png, the
# README's picture. About 3 minutes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
out=""
readme=0
while [ $# -gt 0 ]; do
    case "$1" in
    -o) out=${2:?-o needs a folder}; shift 2 ;;
    --readme) readme=1; shift ;;
    --build) build=${2:?--build needs a folder}; shift 2 ;;
    *) echo "usage: tools/report-demo.sh [-o FOLDER] [--readme] [--build FOLDER]" >&2; exit 2 ;;
    esac
done
envtool=$build/bin/envtool
[ -x "$envtool" ] || { echo "report-demo: no $envtool (build first: scripts/build.sh)" >&2; exit 2; }
[ -n "$out" ] || out=$(mktemp -d /tmp/envviewer-report.XXXXXX)
mkdir -p "$out"
work=$(mktemp -d /tmp/envviewer-report-work.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
# Captures and settings stay in the work folder; failed runs keep their capture.
export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config

cat >"$work/plan.json" <<'PLAN'
[{"label": "Final test", "duration": 1, "frames": 40, "y": {"min": 200, "max": 1500},
  "x": [{"index": 0, "count": 30, "min": -100, "max": 100},
        {"index": 12, "count": 30, "min": -80, "max": 80},
        {"index": 26, "count": 30, "min": -80, "max": 80, "minadd": 50, "maxadd": -50}]},
 {"label": "Burn-in check", "duration": 1, "frames": 40, "y": {"min": 150, "max": 1600},
  "x": [{"index": 6, "count": 30, "min": -120, "max": 120},
        {"index": 20, "count": 30, "min": -60, "max": 60}]}]
PLAN

# One run: the module plays on a pseudo-terminal, envtool qc judges it; the record then gets the
# station's name and the simulated time.
judge() { # test serial station time seed [channel to fail]
    local link=$work/pty
    "$envtool" simulate --pty --link "$link" --plan "$work/plan.json" --test "$1" --seed "$5" \
        ${6:+--fail-channel "$6"} >/dev/null &
    local module=$!
    while [ ! -e "$link" ]; do sleep 0.05; done
    "$envtool" qc --port "$link" --plan "$work/plan.json" --test "$1" --serial "$2" \
        --log "$work/run.jsonl" >/dev/null || true
    kill $module
    wait $module 2>/dev/null || true
    rm -f "$link"
    sed -e "s/\"host\":\"[^\"]*\"/\"host\":\"$3\"/" -e "s/\"time\":\"[^\"]*\"/\"time\":\"$4\"/" \
        "$work/run.jsonl" >>"$work/results.jsonl"
    rm "$work/run.jsonl"
    runs=$((runs + 1))
}

seed=1
runs=0
for day in 2026-03-02 2026-03-03 2026-03-04; do
    for station in line-1 line-2 line-3; do
        echo "report-demo: $day, $station ($runs runs so far)" >&2
        for board in 1 2 3 4 5; do
            serial=${station#line-}-${day:8:2}-$board
            minute=$((board * 37 + ${station#line-} * 11))
            at() { date -d "$day 07:00 $((minute + $1)) minutes" +%Y-%m-%dT%H:%M:%S.000+01:00; }
            # Line 2 has a weak channel 12 on its second day; boards fail now and then elsewhere.
            fail=""
            if { [ "$station" = line-2 ] && [ "$day" = 2026-03-03 ]; } || [ $((seed % 7)) = 0 ]; then
                fail=12
            fi
            judge "Final test" "$serial" "$station" "$(at 0)" $((seed++)) $fail
            # A failed board is tested again, and passes.
            if [ -n "$fail" ]; then
                judge "Final test" "$serial" "$station" "$(at 5)" $((seed++))
            fi
            judge "Burn-in check" "$serial" "$station" "$(at 20)" $((seed++)) \
                $([ $((seed % 9)) = 0 ] && echo 20)
        done
    done
done

echo "report-demo: $runs runs judged; writing the report" >&2
cp "$work/results.jsonl" "$out/results.jsonl"
"$envtool" report --log "$out/results.jsonl" -o "$out/report.html"
HOME=$work chromium --headless --no-sandbox --disable-gpu --hide-scrollbars \
    --user-data-dir="$work/profile" --screenshot="$out/report.png" --window-size=1000,2600 \
    "file://$out/report.html" 2>/dev/null
if [ "$readme" = 1 ]; then
    cp "$out/report.png" "$root/docs/screenshots/report.png"
    echo "report-demo: docs/screenshots/report.png updated" >&2
fi
echo "$out/report.html"
echo "$out/report.png"
