#!/usr/bin/env bash
# A chart of a simulator run for docs/: reader-crc polls instrument-sim under Xvfb for 90 s while
# the simulator is told now and then to send a bad checksum or a short answer or to fall silent;
# then reader-tool plots the log into docs/reader-tool-chart.png.
# Usage: scripts/chart-demo.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-90}
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
run=$(mktemp -d)
trap 'kill "${sim:-}" 2>/dev/null || true; rm -rf "$run"' EXIT
mkfifo "$run/commands"
build/bin/instrument-sim --reading live <"$run/commands" >"$run/sim.out" &
sim=$!
exec 3>"$run/commands"
for _ in $(seq 100); do [ -s "$run/sim.out" ] && break; sleep 0.05; done
printf '[PORTS]\nCOM1=%s\n' "$(head -n 1 "$run/sim.out")" >"$run/dev.dat"
(
    for second in $(seq "$seconds"); do
        sleep 1
        case $((second % 30)) in
            10) echo "next badsum" >&3 ;;
            20) echo "next short" >&3 ;;
            29) echo "next silence" >&3 ;;
        esac
    done
) &
xvfb-run -a -s "-screen 0 800x420x24" scripts/demo.sh --headless-inner "$PWD/build/bin/reader-crc" \
    "$run" "$seconds" "$run/window.png"
build/bin/reader-tool stats "$run/COM.txt"
build/bin/reader-tool plot -o docs/reader-tool-chart.png "$run/COM.txt"
echo "chart: docs/reader-tool-chart.png"
