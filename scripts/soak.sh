#!/usr/bin/env bash
# Soak run of the exchange against instrument-sim: a rotating fault mix, the simulator killed and
# restarted, then the counters checked against the log and memory and open files against their
# level after warm-up. Exit status 0 when every check holds.
# Usage: scripts/soak.sh [--minutes N]    (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=20
if [ "${1:-}" = "--minutes" ]; then
    minutes=${2:?}
fi
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target soak instrument-sim
build/bin/soak "$minutes"
