#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
# Usage: scripts/test.sh            plain build in build/
#        scripts/test.sh --sanitize AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

dir=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DREADER_WARNINGS_AS_ERRORS=ON)
if [ "${1:-}" = "--sanitize" ]; then
    dir=build-asan
    options=(-DCMAKE_BUILD_TYPE=Debug -DREADER_SANITIZE=ON -DREADER_BENCHMARKS=OFF
        -DREADER_WARNINGS_AS_ERRORS=ON)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

cmake -S . -B "$dir" -G Ninja "${options[@]}"
cmake --build "$dir" -j2
ctest --test-dir "$dir" --output-on-failure -j2
