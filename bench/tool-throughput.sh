#!/usr/bin/env bash
# reader-tool csv against wc -l on the same log in the page cache (best of three runs each), and
# reader-tool's peak resident memory on a 1 GB log. Logs come from make_log into a temporary
# folder. Usage: bench/tool-throughput.sh [MB-for-speed] [MB-for-memory]
set -euo pipefail
cd "$(dirname "$0")/.."
speed_mb=${1:-300}
memory_mb=${2:-1024}
bin=${READER_BIN:-build/bin}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

best() { # command... : prints the shortest wall time in seconds of three runs
    local best=""
    for _ in 1 2 3; do
        local start end
        start=$(date +%s%N)
        "$@" >/dev/null
        end=$(date +%s%N)
        best=$(awk -v b="$best" -v t=$(((end - start) / 1000)) 'BEGIN { print (b == "" || t < b) ? t : b }')
    done
    awk -v t="$best" 'BEGIN { printf "%.3f", t / 1e6 }'
}

"$bin/make_log" "$dir/speed.log" "$speed_mb"
cat "$dir/speed.log" >/dev/null # into the page cache
size=$(stat -c %s "$dir/speed.log")
tool_s=$(best "$bin/reader-tool" csv "$dir/speed.log")
wc_s=$(best wc -l "$dir/speed.log")
awk -v size="$size" -v t="$tool_s" -v w="$wc_s" 'BEGIN {
    printf "log of %.0f MB: reader-tool csv %.3f s (%.0f MB/s), wc -l %.3f s (%.0f MB/s); reader-tool takes %.1f times as long\n",
        size / 1048576, t, size / 1048576 / t, w, size / 1048576 / w, t / w }'

"$bin/make_log" "$dir/memory.log" "$memory_mb"
rm -f "$dir/speed.log"
peak=$( { /usr/bin/time -f "%M" "$bin/reader-tool" csv "$dir/memory.log" >/dev/null; } 2>&1 | tail -n 1)
printf 'log of %d MB: reader-tool csv peak resident %d kB (budget 30720 kB)\n' \
    $(($(stat -c %s "$dir/memory.log") / 1048576)) "$peak"
