#!/usr/bin/env bash
# CI: what can be shown of the Windows build on this machine. The Qt-free code (protocol/,
# settings/, platform/'s file access and the exchange log) compiles with MinGW-w64 and warnings as errors, and runners
# built with it replay the fuzz corpora through the answer parser, the INI reader and the log
# reader under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
missing=()
for p in g++-mingw-w64-x86-64 wine64; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

out=build-windows
mkdir -p "$out"
cxx=x86_64-w64-mingw32-g++
flags=(-std=c++20 -O1 -Wall -Wextra -Werror -Iplatform -Iprotocol -Isettings -Iexchange)
for source in protocol/*.cpp settings/app_settings.cpp settings/profile.cpp settings/ports_section.cpp \
    platform/file_access_windows.cpp platform/interrupts_windows.cpp exchange/exchange_log.cpp \
    exchange/exchange_log_reader.cpp exchange/exchange_record.cpp exchange/json_text.cpp \
    exchange/record_format.cpp; do
    "$cxx" "${flags[@]}" -c "$source" -o "$out/$(basename "$source" .cpp).o"
done
echo "compiled for Windows: protocol/, settings/, platform/'s files and signals, the exchange record, its serializers and the log"

"$cxx" "${flags[@]}" -static fuzz/replay_corpus.cpp fuzz/parse_response_fuzz.cpp \
    "$out"/checksums.o "$out"/parser.o "$out"/scan_number.o "$out"/variant.o -o "$out/parse_response_replay.exe"
"$cxx" "${flags[@]}" -static fuzz/replay_corpus.cpp fuzz/profile_fuzz.cpp "$out"/profile.o \
    -o "$out/profile_replay.exe"
"$cxx" "${flags[@]}" -static fuzz/replay_corpus.cpp fuzz/log_reader_fuzz.cpp \
    "$out"/exchange_log_reader.o "$out"/exchange_log.o "$out"/file_access_windows.o \
    -o "$out/log_reader_replay.exe"

export WINEPREFIX="$PWD/$out/wine" WINEDEBUG=-all
for target in parse_response profile log_reader; do
    corpora=("fuzz/corpus/${target}_fuzz")
    [ -d "build-fuzz/corpora/${target}_fuzz" ] && corpora+=("build-fuzz/corpora/${target}_fuzz")
    printf '%s under wine: ' "$target"
    /usr/lib/wine/wine64 "$out/${target}_replay.exe" "${corpora[@]}" 2>/dev/null
done
