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
