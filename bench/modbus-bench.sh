#!/usr/bin/env bash
# reader-service as a Modbus TCP gateway under load. Three lines of three simulated instruments
# each (115200 baud, every instrument every 100 ms) are polled for `seconds` without Modbus
# clients, then for `seconds` while bench/modbus_load.c reads 125 input registers of unit 1
# back to back over 10 connections. Figures: requests per second, latency p50/p99, the
# service's CPU time per request (beyond what polling costs alone), and each line's period
# drift in both stretches (every visit of its first instrument against the 100 ms grid).
# Usage: bench/modbus-bench.sh [seconds] [clients]; READER_BIN=DIR runs the programs in DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
seconds=${1:-20}
clients=${2:-10}

port=$(free_port)
{
    printf '[service]\ndata_dir=%s/data\n' "$dir"
    three_lines 1,2,3 100
    printf '[modbus]\nlisten=127.0.0.1:%s\nmax_clients=16\nunit_ids.l2=11-13\nunit_ids.l3=21-23\n' "$port"
} >"$dir/s.conf"
start_service s
sleep 2 # polling

start=$(date +%s.%N)
ticks0=$(cpu_ticks "$service")
sleep "$seconds"
ticks1=$(cpu_ticks "$service")
middle=$(date +%s.%N)
# The clients stand in for other machines: on these cores they take only the time left over.
chrt -i 0 "$bin/modbus_load" 127.0.0.1 "$port" "$seconds" "$clients" 1 125 | tee "$dir/load.out" || true
ticks2=$(cpu_ticks "$service")
end=$(date +%s.%N)
stop_service

python3 - "$dir/data" "$start" "$middle" "$end" "$ticks0" "$ticks1" "$ticks2" "$(getconf CLK_TCK)" \
    "$dir/load.out" <<'PY'
import datetime, glob, statistics, sys
data, start, middle, end = sys.argv[1], *map(float, sys.argv[2:5])
t0, t1, t2, hz = map(int, sys.argv[5:9])
requests = int(open(sys.argv[9]).read().split()[0])
quiet_ms, loaded_ms = (t1 - t0) * 1000 / hz, (t2 - t1) * 1000 / hz
print("service CPU: %.0f ms polling alone, %.0f ms under load over %.0f s each: %.1f us per request "
      "beyond polling" % (quiet_ms, loaded_ms, middle - start,
                          (loaded_ms - quiet_ms * (end - middle) / (middle - start)) * 1000 / requests))
for csv in sorted(glob.glob(data + "/*/*.csv")):
    sent = [datetime.datetime.fromisoformat(r.split(",")[0]).timestamp()
            for r in open(csv).read().splitlines()[1:] if r.split(",")[2] == "1"]
    for name, a, b in (("no clients", start, middle), ("loaded", middle, end)):
        s = [t for t in sent if a <= t < b]
        gaps = [(y - x) * 1000 for x, y in zip(s, s[1:])]
        grid = [(t - s[0]) * 1000 - 100 * k for k, t in enumerate(s)]
        print("%s %-10s %4d visits, period median %.1f ms, p99 %.1f ms, max %.1f ms; off the grid "
              "%+.1f to %+.1f ms" % (csv.split("/")[-2], name, len(s), statistics.median(gaps),
                                     sorted(gaps)[int(len(gaps) * 0.99)], max(gaps), min(grid),
                                     max(grid)))
PY
