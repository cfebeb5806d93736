#!/usr/bin/env bash
# The Windows lane of the test command: cross-builds the updater and its unit tests for
# Windows (scripts/build-windows.sh), runs the unit tests under Wine with code page 936,
# then the Linux-side tests (label "wine") that run the Windows UpdateTarvil.exe end to end
# against nginx. Prints how long the lane took.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
windows=${WINDOWS_BUILD_DIR:-build-windows}
BUILD_TESTING=ON WINDOWS_BUILD_DIR="$windows" bash scripts/build-windows.sh >/dev/null
windows=$(cd "$windows" && pwd)

# One Wine prefix per build tree, made before tests start in parallel; waiting for the
# wineserver to exit lets the first start's set-up finish, so it does not slow the tests.
export WINEPREFIX="$windows/wineprefix"
bash scripts/wine-run.sh cmd.exe /c exit
/usr/lib/wine/wineserver -w
unset WINEPREFIX
# Widgets need a display under Wine, even when Qt draws offscreen. Each test's log is in
# testresults/ (Qt's log does not reach standard output under Wine): failures are shown.
rm -f "$windows"/testresults/*.txt
if ! (cd "$windows" && xvfb-run -a ctest --output-on-failure -j2 "$@"); then
    grep -a -B1 -A4 '^FAIL!' "$windows"/testresults/*.txt || true
    exit 1
fi

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DBUILD_TESTING=ON -DUPDATER_WINDOWS_BUILD="$windows" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j2
(cd "$build" && xvfb-run -a ctest -L wine --output-on-failure "$@")
echo "Windows lane: $(($(date +%s) - start)) s"
