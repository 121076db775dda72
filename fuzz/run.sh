#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time.
# Usage: fuzz/run.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
out=build-fuzz
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)

build() { # name sources...
    local name=$1; shift
    clang++ "${flags[@]}" -Iplatform -Iprotocol -Isettings "$@" -o "$out/$name"
}

build parse_response_fuzz fuzz/parse_response_fuzz.cpp protocol/checksums.cpp protocol/parser.cpp \
    protocol/scan_number.cpp protocol/variant.cpp
build profile_fuzz fuzz/profile_fuzz.cpp settings/profile.cpp
build log_reader_fuzz -Iexchange fuzz/log_reader_fuzz.cpp exchange/exchange_log_reader.cpp \
    exchange/exchange_log.cpp platform/file_access_posix.cpp
build service_config_fuzz -Iservice -Iservice/mqtt -Iserial fuzz/service_config_fuzz.cpp \
    service/service_config.cpp service/names.cpp service/ha_classes.cpp service/listen_config.cpp \
    settings/profile.cpp protocol/address_list.cpp protocol/variant.cpp protocol/checksums.cpp
build modbus_request_fuzz -Iservice -I/usr/include/modbus fuzz/modbus_request_fuzz.cpp \
    service/modbus_map.cpp -lmodbus

for target in "$out"/*_fuzz; do
    [ -f "$target" ] || continue
    name=$(basename "$target")
    corpus="$out/corpora/$name"
    mkdir -p "$corpus"
    seeds="fuzz/corpus/$name"
    echo "== fuzzing $name for ${seconds}s"
    "$target" -max_total_time="$seconds" -max_len=1024 -print_final_stats=1 -artifact_prefix="$out/" "$corpus" \
        $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 | tail -n 12
done
