#!/usr/bin/env bash
# Runs a Windows program under Debian's 64-bit Wine as on a user's Chinese Windows: ANSI code
# page 936 (from the zh_CN.UTF-8 locale), Wine's own messages silenced. WINEPREFIX defaults to
# one per build tree; the program's DLLs are found beside it or through WINEPATH.
set -euo pipefail
wine=${WINE:-/usr/lib/wine/wine64}
if [ -z "${WINEPREFIX:-}" ]; then
    WINEPREFIX=$PWD/wineprefix
    dir=$PWD
    # A test runs in its own directory; share the prefix of the build tree it belongs to.
    while [ "$dir" != / ]; do
        if [ -f "$dir/CMakeCache.txt" ]; then WINEPREFIX=$dir/wineprefix; break; fi
        dir=$(dirname "$dir")
    done
fi
export WINEPREFIX
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Tests built against the prefix find its DLLs and plugins there.
if [ -n "${WINDOWS_PREFIX:-}" ]; then
    export WINEPATH="Z:$WINDOWS_PREFIX/bin;Z:/usr/lib/gcc/x86_64-w64-mingw32/12-posix;Z:/usr/x86_64-w64-mingw32/lib"
    export QT_PLUGIN_PATH="Z:$WINDOWS_PREFIX/plugins"
fi
exec "$wine" "$@"
