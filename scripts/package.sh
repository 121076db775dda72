#!/usr/bin/env bash
# Builds the Debian package with Debian's default compiler flags in build-package/ and checks it
# with lintian (errors fail the script). Prints the package's path on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
dir=build-package
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DREADER_TESTS=OFF -DREADER_BENCHMARKS=OFF "$@" >&2
cmake --build "$dir" -j2 >&2
rm -f "$dir"/instrument-reader_*.deb
(cd "$dir" && cpack -G DEB >&2)
deb=$(ls "$dir"/instrument-reader_*.deb)
lintian --fail-on error --info "$deb" >&2
echo "$deb"
