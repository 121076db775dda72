#!/usr/bin/env bash
# CI: builds the .deb, installs it with apt-get, runs the installed reader-crc under Xvfb against
# the installed instrument-sim in a temporary folder until the log holds answered exchanges,
# then the installed reader-service --once against it and one register read from it over Modbus
# TCP with mbpoll; then removes the package and checks that nothing it installed is left under
# /usr.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
deb=$(scripts/package.sh | tail -n 1)
mapfile -t files < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's#^\./#/#' | grep -v '/$')

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$root/$deb" >/dev/null
run=$(mktemp -d)
trap 'kill "${sim:-}" "${service:-}" 2>/dev/null || true; rm -rf "$run"' EXIT
/usr/bin/instrument-sim --reading live >"$run/sim.out" &
sim=$!
for _ in $(seq 100); do [ -s "$run/sim.out" ] && break; sleep 0.05; done
printf '[PORTS]\nCOM1=%s\n' "$(head -n 1 "$run/sim.out")" >"$run/dev.dat"
xvfb-run -a -s "-screen 0 800x420x24" scripts/demo.sh --headless-inner /usr/bin/reader-crc \
    "$run" 3 "$run/window.png"
answered=$(tr -d '\r\n' <"$run/COM.txt" | grep -a -o 'Answ:!' | wc -l)
echo "installed reader-crc: $answered answered exchanges in the log"
[ "$answered" -ge 2 ]

# The installed reader-service polls the simulator once into day files.
printf '[service]\ndata_dir=%s/data\n[line sim]\ndevice=%s\nvariant=crc\naddresses=1\ntimeout=500\n' \
    "$run" "$(head -n 1 "$run/sim.out")" >"$run/service.conf"
/usr/bin/reader-service --config "$run/service.conf" --check
/usr/bin/reader-service --config "$run/service.conf" --once | tee "$run/once.out"
grep -q '^sim 1 ok ' "$run/once.out"
[ -s "$run/data/sim/$(date +%F).csv" ]
# The installed reader-service as a Modbus gateway: the instrument's online register, with mbpoll.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[modbus]\nlisten=127.0.0.1:%s\n' "$port" >>"$run/service.conf"
/usr/bin/reader-service --config "$run/service.conf" 2>"$run/service.err" &
service=$!
online=""
for _ in $(seq 50); do
    online=$(mbpoll -m tcp -p "$port" -0 -1 -q -a 1 -t 3 -r 57 127.0.0.1 2>/dev/null | grep -P '^\[57\]:\s+1$' || true)
    [ -n "$online" ] && break
    sleep 0.2
done
kill "$service"
wait "$service" || true
echo "installed reader-service over Modbus TCP, unit 1 register 57 (online): ${online:-no answer}"
[ -n "$online" ]
[ -f /usr/lib/systemd/system/reader-service.service ]
[ -d /etc/instrument-reader ] # where the README has the administrator copy the example
# The installed unit's exposure (no systemd runs as PID 1 here, so it is rated offline):
# --threshold takes tenths, so 20 is 2.0.
systemd-analyze security --offline=yes --threshold=20 reader-service.service >/dev/null ||
    systemd-analyze security --offline=yes /usr/lib/systemd/system/reader-service.service | tail -n 3

DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq instrument-reader >/dev/null
left=0
for file in "${files[@]}"; do
    if [ -e "$file" ]; then
        echo "left behind: $file"
        left=1
    fi
done
[ "$left" = 0 ] && echo "the package removed all ${#files[@]} files it installed"
