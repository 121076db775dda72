#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need; skips what is there.
set -euo pipefail
packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-serialport-dev libbenchmark-dev
    clang libclang-rt-14-dev
    xvfb xauth xdotool imagemagick fonts-dejavu-core fonts-dejavu-extra locales
    desktop-file-utils appstream dpkg-dev lintian file
    libmosquitto-dev libsystemd-dev mosquitto mosquitto-clients openssl python3-jinja2
    libmicrohttpd-dev prometheus chromium chromium-driver python3-selenium curl
    libmodbus-dev mbpoll python3-pymodbus python3-serial-asyncio
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# A locale with a decimal comma, so the tests can show that numbers ignore the process locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "warning: could not generate de_DE.UTF-8"
fi
