#!/usr/bin/env bash
# reader-service against instrument-sim and a mosquitto broker started here (127.0.0.1, a free
# port, a temporary configuration):
#   1. line throughput with period=0 and the simulator pacing at the wire speed of 19200 baud,
#      against the wire limit (request and answer bytes at 10 bits each), and the share of the
#      time the line carries an exchange (what the service leaves idle between two);
#   2. CPU per exchange (paced: a wake-up per byte; unpaced: the answer at once, so mostly
#      parse, files and publish) and the latency from an exchange's end to the broker's
#      delivery to a subscriber (median, p99);
#   3. resident memory with 3 lines of 32 instruments each;
#   4. fixed-rate drift: one instrument every 20 ms for `drift-seconds` (200: 10 000 visits),
#      each send stamp against its place on the grid;
#   5. with one of three instruments silent (period=1000, timeout=300), the others' period;
#   6. the CPU per exchange of a plain pyserial + paho-mqtt loop (bench/peer_loop.py, no files)
#      on the same paced bus, for comparison.
# Usage: bench/service-bench.sh [seconds] [drift-seconds]; READER_BIN=DIR runs the programs in DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
need_packages python3-serial python3-paho-mqtt
seconds=${1:-20}
drift_seconds=${2:-$seconds}

port=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$dir/broker.conf"
mosquitto -c "$dir/broker.conf" >"$dir/broker.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do mosquitto_pub -h 127.0.0.1 -p "$port" -t probe -m x 2>/dev/null && break; sleep 0.1; done

# One line of three instruments polled back to back; $1 is --pace or nothing, $2 a tag.
run_line() {
    local pace=$1 tag=$2 service ticks0 ticks1
    start_sim "$dir/tty$tag" --address 1,2,3 --reading live $pace --baud 19200
    printf '[service]\ndata_dir=%s\n[line bench]\ndevice=%s\nvariant=crc\nspeed=19200\n' \
        "$dir/data$tag" "$dir/tty$tag" >"$dir/one$tag.conf"
    printf 'timeout=1000\naddresses=1,2,3\nperiod=0\n[mqtt]\nhost=127.0.0.1\nport=%s\nbase=b%s\n' \
        "$port" "$tag" >>"$dir/one$tag.conf"
    mosquitto_sub -h 127.0.0.1 -p "$port" -t "b$tag/bench/+/state" -F '%U %p' >"$dir/heard$tag" &
    pids+=($!)
    sleep 0.5
    start_service "one$tag"
    sleep 2 # connected and polling
    ticks0=$(cpu_ticks "$service")
    cat "$dir/data$tag"/bench/*.csv >"$dir/before$tag.csv"
    sleep "$seconds"
    ticks1=$(cpu_ticks "$service")
    cat "$dir/data$tag"/bench/*.csv >"$dir/after$tag.csv"
    stop_service
    python3 bench/service_figures.py "$dir/before$tag.csv" "$dir/after$tag.csv" "$seconds" \
        $((ticks1 - ticks0)) "$(getconf CLK_TCK)" "$tag" "$dir/heard$tag"
}
run_line --pace paced
run_line "" unpaced

# Three lines of 32 instruments.
{
    printf '[service]\ndata_dir=%s/data3\n' "$dir"
    three_lines 1-32 1000
    printf '[mqtt]\nhost=127.0.0.1\nport=%s\nbase=bench3\ndiscovery=yes\n' "$port"
} >"$dir/three.conf"
start_service three
sleep 10
echo "resident memory: $(awk '/VmRSS/ { print $2 " kB" }' "/proc/$service/status") with 3 lines x 32 instruments"
stop_service

# Fixed rate: one instrument every 20 ms.
start_sim "$dir/ttyd" --address 1 --reading live
printf '[service]\ndata_dir=%s/datad\n[line d]\ndevice=%s/ttyd\nvariant=crc\nspeed=115200\n' \
    "$dir" "$dir" >"$dir/drift.conf"
printf 'timeout=50\naddresses=1\nperiod=20\n' >>"$dir/drift.conf"
start_service drift
sleep "$drift_seconds"
stop_service
python3 - "$dir"/datad/d/*.csv <<'PY'
import datetime, sys
sent = [datetime.datetime.fromisoformat(r.split(",")[0]).timestamp() * 1000
        for r in open(sys.argv[1]).read().splitlines()[1:]]
# Each visit against its own place on the grid; a visit the line skipped (an exchange that ran
# past it) is counted apart, not as drift.
slots = [round((s - sent[0]) / 20) for s in sent]
off = [s - sent[0] - 20 * k for k, s in zip(slots, sent)]
print("fixed rate, %d visits at 20 ms (%d slots skipped): last visit %+.0f ms off the grid, "
      "spread %.0f to %+.0f ms" % (len(sent), slots[-1] + 1 - len(sent), off[-1], min(off), max(off)))
PY

# One silent instrument of three at period=1000, timeout=300: the others' period.
start_sim "$dir/ttys" --address 1,2,3 --fault 3:silence
printf '[service]\ndata_dir=%s/datas\n[line s]\ndevice=%s/ttys\nvariant=crc\nspeed=19200\n' \
    "$dir" "$dir" >"$dir/silent.conf"
printf 'timeout=300\naddresses=1,2,3\nperiod=1000\n' >>"$dir/silent.conf"
start_service silent
sleep "$seconds"
stop_service
python3 - "$dir"/datas/s/*.csv <<'PY'
import datetime, statistics, sys
rows = [r.split(",") for r in open(sys.argv[1]).read().splitlines()[1:]]
for address in ("1", "2"):
    sent = [datetime.datetime.fromisoformat(r[0]).timestamp() * 1000 for r in rows if r[2] == address]
    periods = [b - a for a, b in zip(sent, sent[1:])]
    print("instrument 3 silent: instrument %s read %d times, median period %.0f ms (period 1000)"
          % (address, len(sent), statistics.median(periods)))
PY

# The peer loop on the same paced bus.
start_sim "$dir/ttyp" --address 1,2,3 --reading live --pace --baud 19200
exchanges_cpu=$(/usr/bin/python3 bench/peer_loop.py "$dir/ttyp" "$port" "$seconds")
awk -v seconds="$seconds" '{ printf "peer    %d exchanges in %s s, CPU per exchange %.3f ms (pyserial + paho-mqtt, no files)\n", $1, seconds, $2 * 1000 / $1 }' <<<"$exchanges_cpu"
