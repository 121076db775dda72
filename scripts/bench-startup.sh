#!/usr/bin/env bash
# Start-up time (process start to the window mapped on an X server), resident memory with the
# window shown and idle CPU while stopped, for both programs, five runs each, under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != "--inner" ]; then
    exec xvfb-run -a -s "-screen 0 800x420x24" "$0" --inner
fi
root=$(pwd)
for program in reader-crc reader-sum; do
    for run in 1 2 3 4 5; do
        dir=$(mktemp -d)
        printf '[PORTS]\nCOM1=/nonexistent/tty\n[COM_SETTINGS]\nPort=9\n' >"$dir/dev.dat"
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
        rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
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
        printf '%s run %d: window shown after %4d ms, resident %6d kB%s\n' "$program" "$run" \
            $(((shown - start) / 1000000)) "$rss" "$idle"
    done
done
