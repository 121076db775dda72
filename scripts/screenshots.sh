#!/usr/bin/env bash
# Refreshes the screenshots in docs/ from a headless demo run of each program.
set -euo pipefail
cd "$(dirname "$0")/.."
for variant in crc sum; do
    env -u DISPLAY scripts/demo.sh "$variant" 4
    cp "demo-run/$variant/reader-$variant.png" "docs/reader-$variant.png"
done
