#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; skips what is there.
set -euo pipefail
packages=(build-essential cmake qtbase5-dev libquazip1-qt5-dev zlib1g-dev nginx-light
    fonts-wqy-microhei python3 xvfb x11-apps imagemagick curl unzip util-linux
    libsodium-dev minisign openssl libssl3 ca-certificates tinyproxy e2fsprogs iproute2
    wine64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
    binutils-mingw-w64-x86-64 locales clang-format osslsigncode)
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

# Wine takes its ANSI code page from the Unix locale: zh_CN.UTF-8 gives 936, as on users' machines.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | $sudo_cmd tee -a /etc/locale.gen >/dev/null
    $sudo_cmd locale-gen zh_CN.UTF-8 >/dev/null
fi
