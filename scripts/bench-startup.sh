#!/usr/bin/env bash
# Start-up time (process start to the window mapped on an X server), resident memory with the
# window shown and idle CPU while stopped, for both programs, five runs each, under Xvfb; then
# reader-crc starting on a 50 MB dev.dat (read once, keys added, written once).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != "--inner" ]; then
    exec xvfb-run -a -s "-screen 0 800x420x24 -noreset" "$0" --inner
fi
root=$(pwd)

# Starts $1 in folder $2; sets ms (to the window shown), rss (peak resident kB) and pid.
start_and_measure() {
    local program=$1 dir=$2
    local start shown
    start=$(date +%s%N)
    (cd "$dir" && exec "$root/build/bin/$program") &
    pid=$!
    # Poll every 10 ms: xdotool's own --sync waits in half-second steps.
    for _ in $(seq 3000); do
        xdotool search --onlyvisible --name "ГРАЛИКС" >/dev/null 2>&1 && break
        sleep 0.01
    done
    shown=$(date +%s%N)
    sleep 0.3
    ms=$(((shown - start) / 1000000))
    rss=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
}

for program in reader-crc reader-sum; do
    for run in 1 2 3 4 5; do
        dir=$(mktemp -d)
        printf '[PORTS]\nCOM1=/nonexistent/tty\n[COM_SETTINGS]\nPort=9\n' >"$dir/dev.dat"
        start_and_measure "$program" "$dir"
        idle=""
        if [ "$run" = 1 ]; then # CPU used while stopped (50 ms ticks), over 10 s
            before=$(awk '{print $14 + $15}' "/proc/$pid/stat")
            sleep 10
            after=$(awk '{print $14 + $15}' "/proc/$pid/stat")
            idle=$(awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" \
                'BEGIN {printf ", idle CPU %.2f %% of a core", 100 * t / hz / 10}')
        fi
        kill -TERM "$pid"
        wait "$pid" || true
        rm -rf "$dir"
        printf '%s run %d: window shown after %4d ms, peak resident %6d kB%s\n' "$program" "$run" \
            "$ms" "$rss" "$idle"
    done
done

for run in 1 2 3; do
    dir=$(mktemp -d)
    { printf '[PORTS]\nCOM1=/nonexistent/tty\n[COM_SETTINGS]\nPort=9\n[NOTES]\n'
      awk 'BEGIN { for (i = 0; i < 1000000; ++i) printf "note%d=%s\n", i, "0123456789012345678901234567890123456789" }'
    } >"$dir/dev.dat"
    size=$(stat -c %s "$dir/dev.dat")
    start_and_measure reader-crc "$dir"
    kill -TERM "$pid"
    wait "$pid" || true
    rm -rf "$dir"
    printf 'reader-crc, %d MB dev.dat, run %d: window shown after %4d ms, peak resident %6d kB\n' \
        $((size / 1000000)) "$run" "$ms" "$rss"
done
