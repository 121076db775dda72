# Sourced by the service's benchmark scripts: the programs to run (READER_BIN, else build/bin),
# a temporary folder, the processes started (ended with the folder when the script exits), and
# helpers. Runs from the repository's top folder.
bin=${READER_BIN:-$PWD/build/bin}
dir=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

# Installs the Debian packages named that are missing.
need_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null
    done
}

# A TCP port free on 127.0.0.1 just now.
free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The CPU ticks process $1 has used (user and system).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Starts instrument-sim with the options given, linked at $1, and waits for the link.
start_sim() {
    local link=$1
    shift
    "$bin/instrument-sim" "$@" --link "$link" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
}

# Lines l1-l3 at 115200 Bd, each a simulator with the instruments $1 (a list like 1-32) read
# every $2 ms: starts the simulators and prints the lines' sections.
three_lines() {
    local n
    for n in 1 2 3; do
        start_sim "$dir/tty$n" --address "$1" --reading live
        printf '[line l%s]\ndevice=%s/tty%s\nvariant=crc\nspeed=115200\ntimeout=50\n' "$n" "$dir" "$n"
        printf 'addresses=%s\nperiod=%s\n' "$1" "$2"
    done
}

# Starts reader-service on the configuration $dir/$1.conf (its log in $dir/$1.err) as $service.
start_service() {
    "$bin/reader-service" --config "$dir/$1.conf" 2>"$dir/$1.err" &
    service=$!
    pids+=($service)
}

# Ends $service and waits for it.
stop_service() {
    kill "$service"
    wait "$service" 2>/dev/null || true
}
