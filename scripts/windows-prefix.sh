#!/usr/bin/env bash
# Prints the path of a Windows (x86_64-w64-mingw32) prefix holding what the updater links
# against: Qt 5.15 qtbase, QuaZip 1.4, libsodium and OpenSSL 3. Uses the prebuilt archive in
# ../shared/toolchains when it is there and its SHA-256 matches, and otherwise builds the
# prefix from Debian 12's source packages with Debian's MinGW-w64. Either way the prefix is
# cached outside the clone, so later builds and other clones reuse it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
archive=${WINDOWS_PREFIX_ARCHIVE:-$root/../shared/toolchains/qt5-mingw.tar.xz}
cache=${WINDOWS_PREFIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/updatetarvil}
host=x86_64-w64-mingw32
jobs=${JOBS:-2}
# The source packages the prebuilt prefix was made from, so both ways give the same prefix.
sources=(qtbase-opensource-src=5.15.8+dfsg-11+deb12u3 openssl=3.0.20-1~deb12u2
    libquazip1-qt5=1.4-1 libsodium=1.0.18-1+deb12u1)

log() { echo "windows-prefix: $*" >&2; }

prebuilt_matches() {
    [ -f "$archive" ] && [ -f "$archive.sha256" ] || return 1
    local want have
    want=$(awk '{print $1; exit}' "$archive.sha256")
    have=$(sha256sum "$archive" | awk '{print $1}')
    [ "$want" = "$have" ] || { log "$archive does not match its SHA-256, building from source"; return 1; }
    echo "$want"
}

# Unpacks into a temporary directory first: an interrupted unpack never looks finished.
unpack_prebuilt() {
    local dest=$1 tmp
    tmp=$(mktemp -d "$cache/unpack-XXXXXX")
    log "unpacking $archive into $dest"
    tar -xJf "$archive" -C "$tmp"
    mv "$tmp/qt5-mingw" "$dest"
    rmdir "$tmp"
}

fetch_sources() {
    local work=$1
    if ! grep -rqsE '^deb-src .*bookworm|^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        log "adding a deb-src entry for bookworm"
        # The same key as the binary entries: apt refuses one source with two Signed-By values.
        local key=/usr/share/keyrings/debian-archive-keyring.gpg
        {
            echo "deb-src [signed-by=$key] http://deb.debian.org/debian bookworm main"
            echo "deb-src [signed-by=$key] http://deb.debian.org/debian-security bookworm-security main"
            echo "deb-src [signed-by=$key] http://deb.debian.org/debian bookworm-updates main"
        } >/etc/apt/sources.list.d/updatetarvil-src.list
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        dpkg-dev autoconf automake libtool make perl python3 cmake \
        g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
    # dpkg-source -x (which apt-get source runs) applies Debian's patches.
    (cd "$work" && apt-get source -qq "${sources[@]}")
}

# The configure scripts call x86_64-w64-mingw32-gcc/g++: make those the posix thread
# variant the updater is built with, so everything shares one C++ runtime.
use_posix_compilers() {
    local tool
    for tool in gcc g++; do
        update-alternatives --set "$host-$tool" "/usr/bin/$host-$tool-posix" >/dev/null
    done
}

build_openssl() {
    local prefix=$1 src
    src=$(find "$2" -maxdepth 1 -type d -name 'openssl-3*' | head -1)
    (cd "$src" && ./Configure mingw64 --cross-compile-prefix=$host- --prefix="$prefix" \
        --libdir=lib shared no-tests && make -j"$jobs" && make install_sw)
}

build_libsodium() {
    local prefix=$1 src
    src=$(find "$2" -maxdepth 1 -type d -name 'libsodium-1*' | head -1)
    (cd "$src" && ./autogen.sh -s && ./configure --host=$host --prefix="$prefix" \
        --disable-static --enable-shared && make -j"$jobs" && make install)
}

build_qtbase() {
    local prefix=$1 src
    src=$(find "$2" -maxdepth 1 -type d -name 'qtbase-opensource-src-5*' | head -1)
    # The Debian source leaves out the Windows tablet header, hence -no-feature-tabletevent.
    (cd "$src" && ./configure -prefix "$prefix" -opensource -confirm-license \
        -xplatform win32-g++ -device-option CROSS_COMPILE=$host- -release -shared \
        -nomake examples -nomake tests -no-opengl -no-dbus -no-icu -no-sql-sqlite \
        -no-sql-odbc -no-sql-psql -no-sql-mysql -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre \
        -qt-harfbuzz -qt-freetype -openssl-runtime OPENSSL_INCDIR="$prefix/include" \
        -no-feature-tabletevent && make -j"$jobs" && make install)
}

build_quazip() {
    local prefix=$1 src
    src=$(find "$2" -maxdepth 1 -type d -name '*quazip*-1*' | head -1)
    cmake -S "$src" -B "$src/build-windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DWINDOWS_PREFIX="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DQUAZIP_QT_MAJOR_VERSION=5 -DQUAZIP_BZIP2=OFF -DBUILD_SHARED_LIBS=ON
    cmake --build "$src/build-windows" -j"$jobs"
    cmake --install "$src/build-windows"
}

build_from_source() {
    local dest=$1
    work=$(mktemp -d "$cache/source-XXXXXX")
    trap 'rm -rf "${work:-}"' EXIT
    log "building the prefix from Debian source packages in $work (about 15 minutes on 2 cores)"
    fetch_sources "$work"
    use_posix_compilers
    build_openssl "$work/prefix" "$work"
    build_libsodium "$work/prefix" "$work"
    build_qtbase "$work/prefix" "$work"
    build_quazip "$work/prefix" "$work"
    mv "$work/prefix" "$dest"
    rm -rf "$work"
}

mkdir -p "$cache"
if sum=$(prebuilt_matches); then
    dest=$cache/qt5-mingw-$sum
    [ -d "$dest" ] || unpack_prebuilt "$dest"
else
    dest=$cache/qt5-mingw-source
    [ -d "$dest" ] || build_from_source "$dest"
fi
echo "$dest"
