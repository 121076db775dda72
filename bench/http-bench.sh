#!/usr/bin/env bash
# reader-service's HTTP side against instrument-sim: 3 lines of 32 instruments (period 1 s) and
# a fixed-rate line (one instrument every 20 ms), all on 127.0.0.1:
#   1. requests per second for /metrics and /api/instruments (ApacheBench, keep-alive,
#      4 clients), and the service's CPU per request;
#   2. the lines' period drift over `drift-seconds` each: quiet; while Prometheus-like scrapes
#      of /metrics come every second and ten clients follow /api/events; while ab hammers
#      /metrics. For the 20 ms line: the spread of its send stamps around their grid; for the
#      1 s lines: the largest distance of an instrument's visit from a period after the last.
# Usage: bench/http-bench.sh [requests] [drift-seconds]; READER_BIN=DIR runs the programs in DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
need_packages apache2-utils
requests=${1:-2000}
drift_seconds=${2:-30}

port=$(free_port)
{
    printf '[service]\ndata_dir=%s/data\n' "$dir"
    three_lines 1-32 1000
    start_sim "$dir/ttyd" --address 1 --reading live
    printf '[line d]\ndevice=%s/ttyd\nvariant=crc\nspeed=115200\ntimeout=50\naddresses=1\nperiod=20\n' "$dir"
    printf '[http]\nlisten=127.0.0.1:%s\nmax_clients=64\n' "$port"
} >"$dir/s.conf"
start_service s
sleep 5 # every instrument read at least once
url="http://127.0.0.1:$port"
echo "/metrics: $(curl -s "$url/metrics" | wc -c) bytes, /api/instruments: $(curl -s "$url/api/instruments" | wc -c) bytes"

hz=$(getconf CLK_TCK)
for path in /metrics /api/instruments; do
    before=$(cpu_ticks "$service")
    rate=$(ab -q -k -c 4 -n "$requests" "$url$path" | awk '/Requests per second/ { print $4 }')
    after=$(cpu_ticks "$service")
    awk -v p="$path" -v r="$rate" -v t=$((after - before)) -v n="$requests" -v hz="$hz" \
        'BEGIN { printf "%-17s %8.0f requests/s, service CPU %.2f ms per request\n", p, r, t * 1000 / hz / n }'
done

mark() { date +%s.%N; }
t0=$(mark)
sleep "$drift_seconds"
t1=$(mark)
# Ten followers of the event stream and a scraper on one kept-alive connection, as Prometheus
# scrapes; started before the stretch measured, so that their own start-up is not in it.
for _ in $(seq 10); do curl -sN "$url/api/events" >/dev/null & pids+=($!); done
python3 - "$port" "$((drift_seconds + 4))" <<'PY' &
import http.client, sys, time
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]))
for _ in range(int(sys.argv[2])):
    c.request("GET", "/metrics")
    c.getresponse().read()
    time.sleep(1)
PY
scraper=$!
pids+=($scraper)
sleep 2
t2=$(mark)
sleep "$drift_seconds"
t3=$(mark)
wait "$scraper"
t3b=$(mark)
end=$(($(date +%s) + drift_seconds))
while [ "$(date +%s)" -lt "$end" ]; do ab -q -k -c 4 -n 500 "$url/metrics" >/dev/null; done
t4=$(mark)
echo "event streams open at the end: $(curl -s "$url/metrics" | awk '/^reader_http_event_streams / { print $2 }')"
stop_service
python3 - "$dir/data" "$t0" "$t1" "$t2" "$t3" "$t3b" "$t4" <<'PY'
import datetime, glob, sys
data, t = sys.argv[1], [float(x) for x in sys.argv[2:]]
def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p))]
def stamps(line, address):
    rows = []
    for path in sorted(glob.glob("%s/%s/*.csv" % (data, line))):
        for r in open(path).read().splitlines()[1:]:
            f = r.split(",")
            if f[2] == str(address):
                rows.append(datetime.datetime.fromisoformat(f[0]).timestamp())
    return rows
# The 20 ms line: each stamp's place on its 20 ms grid, against the run's usual place (the
# median), and the slots that got no visit (skipped after an exchange that ran past them).
first = stamps("d", 1)[0]
for name, a, b in (("quiet", t[0], t[1]), ("scraper + 10 streams", t[2], t[3]),
                   ("ab on /metrics", t[4], t[5])):
    d = [s for s in stamps("d", 1) if a <= s < b]
    phase = [((s - first) * 1000) % 20 for s in d]
    usual = pct(phase, .5)
    late = [abs((p - usual + 10) % 20 - 10) for p in phase]
    skipped = round((d[-1] - d[0]) / 0.020) + 1 - len(d)
    off = []
    for line in ("l1", "l2", "l3"):
        for address in range(1, 33):
            s = [x for x in stamps(line, address) if a <= x < b]
            off += [abs((y - x) * 1000 - 1000) for x, y in zip(s, s[1:])]
    print("%-21s 20 ms line: %d visits, off the grid p50 %.1f p99 %.1f max %.1f ms, %d skipped;"
          " 1 s lines: visit off its period p50 %.1f p99 %.1f max %.1f ms"
          % (name, len(d), pct(late, .5), pct(late, .99), max(late), skipped,
             pct(off, .5), pct(off, .99), max(off)))
PY
