#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; skips what is there.
set -euo pipefail
packages=(build-essential cmake qtbase5-dev libquazip1-qt5-dev zlib1g-dev nginx-light
    fonts-wqy-microhei python3 xvfb x11-apps imagemagick curl unzip util-linux)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
