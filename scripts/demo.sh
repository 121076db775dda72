#!/usr/bin/env bash
# Installs what is needed, builds, starts instrument-sim on a pseudo-terminal and runs the
# reader against it in demo-run/<variant>/, whose dev.dat maps COM1 to the simulator.
#   With a display: the window opens; press "Начать обмен" to start the exchange.
#   Without one: runs under Xvfb, presses the button itself, lets it poll for a few seconds,
#   saves a screenshot and prints where it and the exchange log are.
# Usage: scripts/demo.sh [crc|sum] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${1:-}" = "--headless-inner" ]; then
    # Runs inside xvfb-run: $2 reader binary, $3 run folder, $4 seconds, $5 screenshot path.
    reader=$2 run=$3 seconds=$4 shot=$5
    cd "$run"
    "$reader" &
    pid=$!
    wid=$(timeout 30 xdotool search --sync --onlyvisible --name "ГРАЛИКС" | head -n 1) || true
    if [ -z "$wid" ]; then
        echo "the reader's window did not appear" >&2
        kill -TERM "$pid" 2>/dev/null || true
        exit 1
    fi
    sleep 0.5
    xdotool mousemove --window "$wid" 449 16 click 1 # the start button, "Начать обмен"
    sleep "$seconds"
    import -window "$wid" "$shot"
    kill -TERM "$pid"
    wait "$pid"
    exit 0
fi

variant=${1:-crc}
seconds=${2:-4}
case "$variant" in crc | sum) ;; *) echo "usage: $0 [crc|sum] [seconds]" >&2; exit 2 ;; esac

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2

run="$root/demo-run/$variant"
mkdir -p "$run"
sim_out="$run/instrument-sim.out"
build/bin/instrument-sim --reading live >"$sim_out" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$sim_out" ] && break; sleep 0.05; done
device=$(head -n 1 "$sim_out")
printf '[PORTS]\nCOM1=%s\n[COM_SETTINGS]\nPort=1\nSpd=7\n' "$device" >"$run/dev.dat"
echo "instrument-sim answers on $device; the reader runs in $run"

reader="$root/build/bin/reader-$variant"
if [ -n "${DISPLAY:-}" ]; then
    (cd "$run" && "$reader")
else
    shot="$run/reader-$variant.png"
    xvfb-run -a -s "-screen 0 800x420x24" "$0" --headless-inner "$reader" "$run" "$seconds" "$shot"
    echo "screenshot: $shot"
fi
echo "exchange log: $run/COM.txt"
