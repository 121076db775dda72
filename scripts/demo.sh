#!/usr/bin/env bash
# Installs what is needed, builds, starts instrument-sim on a pseudo-terminal and runs the
# reader against it in demo-run/<variant>/, whose dev.dat maps COM1 to the simulator.
#   With a display: the window opens; press "Начать обмен" to start the exchange.
#   Without one: runs under Xvfb, presses the button itself, lets it poll for a few seconds,
#   saves a screenshot and prints where it and the exchange log are.
# scripts/demo.sh service: reader-service instead, on a simulated bus of three instruments (the
# third silent) with a mosquitto broker on a free local port, all in demo-run/service/: shows
# the MQTT messages and the day files for a few seconds, then stops everything.
# Usage: scripts/demo.sh [crc|sum|service] [seconds]
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
case "$variant" in crc | sum | service) ;; *) echo "usage: $0 [crc|sum|service] [seconds]" >&2; exit 2 ;; esac

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2

if [ "$variant" = service ]; then
    run="$root/demo-run/service"
    rm -rf "$run"
    mkdir -p "$run"
    pids=()
    trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true' EXIT
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$run/mosquitto.conf"
    /usr/sbin/mosquitto -c "$run/mosquitto.conf" >"$run/mosquitto.log" 2>&1 &
    pids+=($!)
    build/bin/instrument-sim --address 1-3 --fault 3:silence --reading live \
        --link "$run/tty" >"$run/instrument-sim.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        [ -e "$run/tty" ] && mosquitto_pub -h 127.0.0.1 -p "$port" -t probe -n 2>/dev/null && break
        sleep 0.05
    done
    printf '[service]\ndata_dir=%s\n[line demo]\ndevice=%s\nvariant=crc\naddresses=1-3\n' \
        "$run/data" "$run/tty" >"$run/reader-service.conf"
    printf 'period=1000\ntimeout=300\n[mqtt]\nhost=127.0.0.1\nport=%s\nbase=demo\n' \
        "$port" >>"$run/reader-service.conf"
    mosquitto_sub -h 127.0.0.1 -p "$port" -t 'demo/#' -v >"$run/mqtt.txt" &
    pids+=($!)
    sleep 0.3
    build/bin/reader-service --config "$run/reader-service.conf" 2>"$run/reader-service.log" &
    service=$!
    sleep "$seconds"
    kill -TERM "$service"
    wait "$service"
    sleep 0.3
    echo "== reader-service's log ($run/reader-service.log)"
    cat "$run/reader-service.log"
    echo "== MQTT messages under demo/ ($run/mqtt.txt), each cut at 100 characters"
    cut -c 1-100 "$run/mqtt.txt"
    echo "== the day files in $run/data/demo, and the first rows of the CSV, cut at 70 characters"
    ls -l "$run/data/demo"
    head -n 4 "$run/data/demo"/*.csv | cut -c 1-70
    echo "everything is in $run: the configuration, the files, the simulator's and broker's output"
    exit 0
fi

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
